#include "form/study_form.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <limits>

#include "model/value_text.h"

namespace {

bool IsBlank(char c) {
  return c == ' ' || c == '\t';
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

using FormResult = std::optional<FormConversionError>;

// An integer field within low..high, stored by store.
template <typename Store>
FormResult StoreInteger(FormField field, const std::string& text, std::int32_t low,
                        std::int32_t high, Store store) {
  auto value = ParseFormInteger(text);
  if (!value) return FormConversionError{field, NumberKind::kInteger, text};
  if (*value < low || *value > high)
    return FormConversionError{field, NumberKind::kInteger, text, FormProblem::kOutOfRange, low,
                               high};
  store(*value);
  return std::nullopt;
}

template <typename Store>
FormResult StoreReal(FormField field, const std::string& text, Store store) {
  auto value = ParseFormFloat(text);
  if (!value) return FormConversionError{field, NumberKind::kFloat, text};
  store(*value);
  return std::nullopt;
}

// Height and weight: 0 leaves them out of the file; a negative or one
// beyond a 32-bit float is a typing error, and so is one no patient has
// (170 typed as the weight, kilograms as grams).
FormResult StoreMeasure(FormField field, const std::string& text, float& into) {
  auto value = ParseFormFloat(text);
  if (!value) return FormConversionError{field, NumberKind::kFloat, text};
  const float rounded = ToFloat32(*value);
  if (rounded < 0.0f || std::isinf(rounded))
    return FormConversionError{field, NumberKind::kFloat, text, FormProblem::kOutOfRange};
  const bool height = field == FormField::kHeight;
  const double least = height ? kLeastHeightCm : kLeastWeightKg;
  const double most = height ? kMostHeightCm : kMostWeightKg;
  if (rounded != 0.0f && (*value < least || *value > most))
    return FormConversionError{field, NumberKind::kFloat, text, FormProblem::kImplausible};
  into = rounded;
  return std::nullopt;
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
  texts.sex = record.sex[0] == 'M'   ? FormSex::kMale
              : record.sex[0] == 'F' ? FormSex::kFemale
                                     : FormSex::kUnknown;
  texts.loaded = LoadedCountsOf(record);
}

LoadedCounts LoadedCountsOf(const TStudyRecord& record) {
  return {record.gateCount, record.frameCount};
}

std::optional<std::int32_t> ParseFormInteger(const std::string& text) {
  std::size_t begin = 0;
  while (begin < text.size() && IsBlank(text[begin])) ++begin;
  return ParseStrictInteger(text.substr(begin));
}

std::optional<double> ParseFormFloat(const std::string& text) {
  std::size_t begin = 0, end = text.size();
  while (begin < end && IsBlank(text[begin])) ++begin;
  while (end > begin && IsBlank(text[end - 1])) --end;
  return ParseStrictDecimal(text.substr(begin, end - begin));
}

std::string FormatFormFloat(double value) {
  char buffer[64];
  auto result =
      std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::general, 15);
  return std::string(buffer, result.ptr);
}

std::optional<FormConversionError> StoreFormTexts(const StudyFormTexts& texts,
                                                  TStudyRecord& record) {
  StoreText(record.patientId, texts.id);
  StoreText(record.patientName, texts.name);
  StoreText(record.studyDate, texts.date);
  StoreText(record.studyTime, texts.time);
  StoreText(record.tracer, texts.tracer);
  StoreText(record.comment, texts.comment);
  if (texts.sex == FormSex::kUnknown)
    return FormConversionError{FormField::kSex, NumberKind::kInteger, "", FormProblem::kSexNotSet};
  StoreText(record.sex, std::string(texts.sex == FormSex::kMale ? "M" : "F"));

  // The store has frames only for the loaded counts: more would write
  // zeros. Fewer write the first ones. An ungated study has one gate,
  // whether the record says 0 or 1, and the loaded value itself always
  // stores back unchanged.
  constexpr std::int32_t kInt16Min = std::numeric_limits<std::int16_t>::min();
  constexpr std::int32_t kInt16Max = std::numeric_limits<std::int16_t>::max();
  const std::int32_t mostGates = std::clamp(std::max(texts.loaded.gates, 1), 0, kInt16Max);
  const std::int32_t leastGates = std::clamp(std::min(texts.loaded.gates, 0), kInt16Min, 0);
  const std::int32_t mostFrames = std::max(texts.loaded.frames, 0);
  const std::int32_t leastFrames = std::min(texts.loaded.frames, 0);

  if (auto e =
          StoreInteger(FormField::kHeartRate, texts.heartRate, kInt16Min, kInt16Max,
                       [&](std::int32_t v) { record.heartRate = static_cast<std::int16_t>(v); }))
    return e;
  if (auto e = StoreReal(FormField::kPixelSize, texts.pixelSize,
                         [&](double v) { record.pixelSize = v; }))
    return e;
  if (auto e = StoreReal(FormField::kThickness, texts.thickness,
                         [&](double v) { record.sliceThickness = v; }))
    return e;
  if (auto e = StoreMeasure(FormField::kHeight, texts.height, record.height)) return e;
  if (auto e = StoreMeasure(FormField::kWeight, texts.weight, record.weight)) return e;
  if (auto e =
          StoreInteger(FormField::kGates, texts.gates, leastGates, mostGates,
                       [&](std::int32_t v) { record.gateCount = static_cast<std::int16_t>(v); }))
    return e;
  if (auto e = StoreInteger(FormField::kFrames, texts.frames, leastFrames, mostFrames,
                            [&](std::int32_t v) { record.frameCount = v; }))
    return e;
  return std::nullopt;
}
