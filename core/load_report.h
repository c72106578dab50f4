// Why the last load failed, in words, for tools that must tell a caller more
// than the loader's integer result. The scan and the loader fill it; nothing
// in the load depends on it.
#pragma once

#include <string>

enum class LoadFailure {
  kNone,
  kCannotOpen,           // the file cannot be opened
  kNotDicom,             // no "DICM" after the 128-byte preamble
  kNoPixelData,          // a header could not be read before Pixel Data
  kModalityDeclined,     // non-NM and the operator answered No
  kUnsupportedMatrix,    // Rows other than 0, 64 or 128
  kTooLargeForStore,     // more than 16 gates or 64 frames per gate
  kUnsupportedEncoding,  // compressed or non-16-bit pixel data
  kPixelDataShort,       // the pixel data end before the last frame
  kCannotReopen,         // the file vanished between scan and load
  kNoMemory,             // no work buffer
};

struct LoadReport {
  LoadFailure failure = LoadFailure::kNone;
  std::string detail;  // one clause in words, e.g. "modality CT declined"
};

extern LoadReport LastLoadReport;

void ReportLoadFailure(LoadFailure failure, std::string detail);
