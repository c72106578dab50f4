// Why the last load failed, in words, for tools that must tell a caller more
// than the loader's integer result, and what a successful load wants the
// operator to know. The scan and the loader fill it; nothing in the load
// depends on it.
#pragma once

#include <string>
#include <vector>

enum class LoadFailure {
  kNone,
  kCannotOpen,                // the file cannot be opened
  kNotDicom,                  // no "DICM" after the 128-byte preamble
  kNoPixelData,               // a header could not be read before Pixel Data
  kModalityDeclined,          // non-NM and the operator answered No
  kNotReconstructedDeclined,  // projections or planar images, and No
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
};

extern LoadReport LastLoadReport;

void ReportLoadFailure(LoadFailure failure, std::string detail);
void ReportLoadWarning(std::string warning);

// The reason a load that returned result failed, in words: the report's
// detail, or the meaning of the result.
std::string LoadFailureText(int result);

// Whether the operator ended the load by answering No to a question.
bool LoadDeclinedByOperator();
