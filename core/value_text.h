// Text-to-number conversions of DICOM string values, independent of the
// process locale (the GUI toolkit sets LC_NUMERIC from the environment, and a
// DICOM decimal always uses ".").
#pragma once

#include <cstdint>

// Leading white space, optional sign, decimal digits up to the first
// non-digit; no digits gives 0. Saturates at the int32 range.
std::int32_t ParseWholeNumber(const char* text);

// Leading white space, then the longest beginning that forms a decimal
// number; of "4.4\4.4" only the first value counts. No number gives 0.
double ParseDecimalNumber(const char* text);

// White space as the C locale classifies it.
inline bool IsCSpace(char c) {
  return c == ' ' || (c >= '\t' && c <= '\r');
}
