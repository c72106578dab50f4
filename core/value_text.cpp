#include "value_text.h"

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
