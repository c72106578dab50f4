// Writes StudyRecord and ImageStore as a GSD file.
#pragma once

#include <string>

#include "study_state.h"

constexpr int kGsdWritten = 0;
constexpr int kGsdNotWritten = 1;

// The header text, byte for byte as it goes to disk.
std::string ComposeGsdHeader(const TStudyRecord& record);

// Writes the file. The bytes go to a temporary file beside the output that
// replaces the output only once complete, so a failure leaves any existing
// file untouched and nothing half-written behind. An output that exists and
// is not a regular file (a device, a pipe) is written directly.
// Returns kGsdWritten or kGsdNotWritten; on failure LastGsdWriteError says why.
int WriteGsdFile(const char* path, const TStudyRecord* record, bool baseToApex);

extern std::string LastGsdWriteError;
