// The one pass over a DICOM file that fills StudyRecord and finds where the
// pixel values begin.
#pragma once

#include <cstdint>
#include <string>

// What the scan saw that only the loader needs: how the pixel data are
// encoded. Reset by every scan.
struct ScanFindings {
  std::string transferSyntax;  // (0002,0010) without trailing NUL or space
  bool hasTransferSyntax = false;
  int bitsAllocated = -1;  // (0028,0100); -1 when absent
};

extern ScanFindings LastScanFindings;

// The question asked for a Modality other than "NM".
extern const char* const kNonNmQuestionText;
extern const char* const kNonNmQuestionCaption;

// Returns the byte offset of the first Pixel Data value byte (> 0), -1 when
// the file is not a readable DICOM file up to Pixel Data, -2 when a non-NM
// file was declined. Fills only the record fields the file supplies.
std::int32_t ScanStudyHeader(const char* path);
