// Text-to-number conversions of DICOM string values, independent of the
// process locale (the GUI toolkit sets LC_NUMERIC from the environment, and a
// DICOM decimal always uses ".").
#pragma once

#include <cstdint>
#include <optional>
#include <string>

// Leading white space, optional sign, decimal digits up to the first
// non-digit; no digits gives 0. Saturates at the int32 range.
std::int32_t ParseWholeNumber(const char* text);

// Leading white space, then the longest beginning that forms a decimal
// number; of "4.4\4.4" only the first value counts. No number gives 0.
double ParseDecimalNumber(const char* text);

// Strict forms, for numbers a person or the GSD header writes: an optional
// sign, decimal digits and nothing else, within the int32 range.
std::optional<std::int32_t> ParseStrictInteger(const std::string& text);

// An optional sign, digits with an optional "." fraction, an optional
// exponent, nothing else; no "inf", "nan" or hexadecimal. Empty fails, and
// so does a value beyond a double.
std::optional<double> ParseStrictDecimal(const std::string& text);

// White space as the C locale classifies it.
inline bool IsCSpace(char c) {
  return c == ' ' || (c >= '\t' && c <= '\r');
}
