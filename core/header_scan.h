// The one pass over a DICOM file that fills the record of the session's
// study and finds where the pixel values begin.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "core/load_session.h"

// The questions asked for a Modality other than "NM" and for an Image Type
// that names projections or planar images.
extern const char* const kNonNmQuestionText;
extern const char* const kQuestionCaption;  // "Warning", both questions
extern const char* const kNotReconstructedQuestionText;

// Scan results besides the pixel data offset.
constexpr std::int32_t kScanFailed = -1;
constexpr std::int32_t kScanDeclined = -2;
constexpr std::int32_t kScanNeedsDecoding = -3;  // deflated: the decoder inflates it first

// Returns the byte offset of the first Pixel Data value byte (> 0), -1 when
// the file is not a readable DICOM file up to Pixel Data (or holds a second
// top-level Pixel Data after it), -2 when the operator declined the study,
// -3 when the data set is deflated and must be decoded before it can be
// walked (-2 also when the caller cancelled). Fills only the record fields
// the file supplies, and the session's findings; asks the session's
// questions.
std::int32_t ScanStudyHeader(const char* path, LoadSession& session);

// The same over a stream positioned just after "DICM", which stays open and
// is left somewhere after the last header read. Without askOperator every
// question counts as answered Yes: the scan of a decoded copy, whose
// original was already asked about.
std::int32_t ScanStudyStream(std::FILE* stream, LoadSession& session, bool askOperator = true);

// Explains why OpenDicomFile refused path, in the report.
void ReportOpenFailure(const char* path, LoadReport& report);
