#include "study_form.h"

#include <charconv>
#include <cstdio>
#include <limits>

namespace {

bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}
bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

// Rounds to float32; beyond its range the value becomes an infinity rather
// than an undefined conversion.
float ToFloat32(double v) {
  if (v > std::numeric_limits<float>::max()) return std::numeric_limits<float>::infinity();
  if (v < -std::numeric_limits<float>::max()) return -std::numeric_limits<float>::infinity();
  return static_cast<float>(v);
}

template <std::size_t N>
void StoreText(char (&field)[N], const std::string& text) {
  CopyToField(field, text);
}

}  // namespace

void FillFormTexts(const TStudyRecord& record, StudyFormTexts& texts) {
  texts.id = record.patientId;
  texts.name = record.patientName;
  texts.date = record.studyDate;
  texts.time = record.studyTime;
  texts.tracer = record.tracer;
  texts.comment = record.comment;
  texts.heartRate = std::to_string(record.heartRate);
  texts.gates = std::to_string(record.gateCount);
  texts.frames = std::to_string(record.frameCount);
  texts.pixelSize = FormatFormFloat(record.pixelSize);
  texts.thickness = FormatFormFloat(record.sliceThickness);
  texts.male = record.sex[0] == 'M';
}

std::optional<std::int32_t> ParseFormInteger(const std::string& text) {
  std::size_t i = 0;
  while (i < text.size() && IsBlank(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  if (i == text.size()) return std::nullopt;
  long long value = 0;
  for (; i < text.size(); ++i) {
    if (!IsDigit(text[i])) return std::nullopt;
    value = value * 10 + (text[i] - '0');
    if (value > 1LL << 32) return std::nullopt;
  }
  if (negative) value = -value;
  if (value < std::numeric_limits<std::int32_t>::min() ||
      value > std::numeric_limits<std::int32_t>::max())
    return std::nullopt;
  return static_cast<std::int32_t>(value);
}

std::optional<double> ParseFormFloat(const std::string& text) {
  std::size_t begin = 0, end = text.size();
  while (begin < end && IsBlank(text[begin])) ++begin;
  while (end > begin && IsBlank(text[end - 1])) --end;
  // Check the shape first, so that from_chars never sees "inf", "nan" or hex.
  std::size_t i = begin;
  bool negative = false;
  if (i < end && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  std::size_t numberStart = i;
  std::size_t digits = 0;
  while (i < end && IsDigit(text[i])) ++i, ++digits;
  if (i < end && text[i] == '.') {
    ++i;
    while (i < end && IsDigit(text[i])) ++i, ++digits;
  }
  if (digits == 0) return std::nullopt;
  if (i < end && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    if (i < end && (text[i] == '+' || text[i] == '-')) ++i;
    std::size_t expDigits = 0;
    while (i < end && IsDigit(text[i])) ++i, ++expDigits;
    if (expDigits == 0) return std::nullopt;
  }
  if (i != end) return std::nullopt;
  std::string number = text.substr(numberStart, end - numberStart);
  // from_chars takes no "+" in the exponent.
  for (std::size_t p = 1; p < number.size(); ++p)
    if (number[p] == '+' && (number[p - 1] == 'e' || number[p - 1] == 'E')) number.erase(p, 1);
  double value = 0.0;
  auto result = std::from_chars(number.data(), number.data() + number.size(), value);
  if (result.ec == std::errc::result_out_of_range) return std::nullopt;
  if (result.ec != std::errc() || result.ptr != number.data() + number.size()) return std::nullopt;
  return negative ? -value : value;
}

std::string FormatFormFloat(double value) {
  char buffer[64];
  auto result =
      std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::general, 15);
  return std::string(buffer, result.ptr);
}

const char* ConversionMessageTemplate(NumberKind kind) {
  return kind == NumberKind::kInteger ? "'%s' は整数ではありません"
                                      : "'%s' は浮動小数点数ではありません";
}

std::optional<FormConversionError> StoreFormTexts(const StudyFormTexts& texts,
                                                  TStudyRecord& record) {
  StoreText(record.patientId, texts.id);
  StoreText(record.patientName, texts.name);
  StoreText(record.studyDate, texts.date);
  StoreText(record.studyTime, texts.time);
  StoreText(record.tracer, texts.tracer);
  StoreText(record.comment, texts.comment);
  StoreText(record.sex, std::string(texts.male ? "M" : "F"));

  auto integer = [](const char* field, const std::string& text,
                    auto store) -> std::optional<FormConversionError> {
    auto value = ParseFormInteger(text);
    if (!value) return FormConversionError{field, NumberKind::kInteger, text};
    store(*value);
    return std::nullopt;
  };
  auto real = [](const char* field, const std::string& text,
                 auto store) -> std::optional<FormConversionError> {
    auto value = ParseFormFloat(text);
    if (!value) return FormConversionError{field, NumberKind::kFloat, text};
    store(*value);
    return std::nullopt;
  };
  // Heart rate and gate count keep the low 16 bits: 65538 gives 2.
  auto low16 = [](std::int32_t v) {
    return static_cast<std::int16_t>(static_cast<std::uint16_t>(v));
  };

  if (auto e =
          integer("edHR", texts.heartRate, [&](std::int32_t v) { record.heartRate = low16(v); }))
    return e;
  if (auto e = real("edPix", texts.pixelSize, [&](double v) { record.pixelSize = v; })) return e;
  if (auto e = real("edThick", texts.thickness, [&](double v) { record.sliceThickness = v; }))
    return e;
  if (auto e = real("edHeight", texts.height, [&](double v) { record.height = ToFloat32(v); }))
    return e;
  if (auto e = real("edWeight", texts.weight, [&](double v) { record.weight = ToFloat32(v); }))
    return e;
  if (auto e = integer("edDiv", texts.gates, [&](std::int32_t v) { record.gateCount = low16(v); }))
    return e;
  if (auto e = integer("edFrm", texts.frames, [&](std::int32_t v) { record.frameCount = v; }))
    return e;
  return std::nullopt;
}
