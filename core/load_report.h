// What one load tells its caller besides its integer result: why it failed,
// in words, and what a successful load wants the operator to know. The
// caller owns it; the scan, frame order, decoder and loader fill it.
#pragma once

#include <string>
#include <vector>

#include "model/gate_curve.h"

enum class LoadFailure {
  kNone,
  kCannotOpen,                // the file cannot be opened
  kNotDicom,                  // no "DICM" after the 128-byte preamble
  kNoPixelData,               // a header could not be read before Pixel Data
  kModalityDeclined,          // non-NM and the operator answered No
  kNotReconstructedDeclined,  // projections or planar images, and No
  kCancelled,                 // the operator cancelled the load while it ran
  kUnsupportedMatrix,         // Rows other than 64 or 128, or Columns not Rows
  kTooLargeForStore,          // more than 16 gates or 64 frames per gate
  kNoFrames,                  // no Rows, or no frames per gate
  kUnsupportedEncoding,       // an encoding that cannot become int16 counts
  kFrameOrder,                // frame vectors that contradict the counts
  kPixelDataShort,            // the pixel data end before the last frame
  kNoMemory,                  // no work buffer
};

struct LoadReport {
  LoadFailure failure = LoadFailure::kNone;
  std::string detail;                 // one clause in words, e.g. "modality CT declined"
  std::vector<std::string> warnings;  // the load succeeded, but the operator should know
  std::string characterSet;           // Specific Character Set (0008,0005) as the file gives it
  GateCurve gateCurve;                // the loaded frames' totals per gate, as the GSD holds them

  // Records why the load fails; always false, so that a check can return it.
  bool Fail(LoadFailure why, std::string words);
  void Warn(std::string warning) { warnings.push_back(std::move(warning)); }

  // The reason a load that returned result failed: the detail, or the
  // meaning of the result.
  std::string FailureText(int result) const;
  // Whether the operator ended the load: a No to a question, or a cancel.
  bool DeclinedByOperator() const;
};
