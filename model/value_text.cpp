#include "model/value_text.h"

#include <charconv>
#include <cstring>
#include <limits>

std::int32_t ParseWholeNumber(const char* text) {
  while (IsCSpace(*text)) ++text;
  bool negative = false;
  if (*text == '+' || *text == '-') negative = *text++ == '-';
  std::int64_t value = 0;
  const std::int64_t limit = std::int64_t{std::numeric_limits<std::int32_t>::max()} + 1;
  for (; *text >= '0' && *text <= '9'; ++text) {
    value = value * 10 + (*text - '0');
    if (value > limit) value = limit;
  }
  if (negative) value = -value;
  if (value > std::numeric_limits<std::int32_t>::max())
    value = std::numeric_limits<std::int32_t>::max();
  return static_cast<std::int32_t>(value);
}

double ParseDecimalNumber(const char* text) {
  while (IsCSpace(*text)) ++text;
  bool negative = false;
  if (*text == '+' || *text == '-') negative = *text++ == '-';
  // A plain decimal number only: strtod's and from_chars' "inf", "nan" and
  // hexadecimal forms are not DICOM decimal strings.
  bool digitFirst =
      (*text >= '0' && *text <= '9') || (*text == '.' && text[1] >= '0' && text[1] <= '9');
  if (!digitFirst) return 0.0;
  double value = 0.0;
  auto [end, error] = std::from_chars(text, text + std::strlen(text), value);
  if (end == text) return 0.0;
  (void)error;  // out of range leaves the stored value; good enough here
  return negative ? -value : value;
}

namespace {

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

}  // namespace

std::optional<std::int32_t> ParseStrictInteger(const std::string& text) {
  std::size_t i = 0;
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

std::optional<double> ParseStrictDecimal(const std::string& text) {
  // Check the shape first, so that from_chars never sees "inf", "nan" or hex.
  const std::size_t end = text.size();
  std::size_t i = 0;
  bool negative = false;
  if (i < end && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  const std::size_t numberStart = i;
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
  std::string number = text.substr(numberStart);
  // from_chars takes no "+" in the exponent.
  for (std::size_t p = 1; p < number.size(); ++p)
    if (number[p] == '+' && (number[p - 1] == 'e' || number[p - 1] == 'E')) number.erase(p, 1);
  double value = 0.0;
  auto result = std::from_chars(number.data(), number.data() + number.size(), value);
  if (result.ec != std::errc() || result.ptr != number.data() + number.size()) return std::nullopt;
  return negative ? -value : value;
}
