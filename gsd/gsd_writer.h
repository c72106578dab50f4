// Writes StudyRecord and ImageStore as a GSD file.
#pragma once

#include <string>

#include "study_state.h"

constexpr int kGsdWritten = 0;
constexpr int kGsdNotWritten = 1;

// The header text, byte for byte as it goes to disk.
std::string ComposeGsdHeader(const TStudyRecord& record);

// Writes the file. An output that is absent, or a regular file of the
// caller's with one link in a folder the caller may write, is replaced in one
// rename by a complete new file (the old mode less setuid and setgid), so a
// failure leaves the old file and nothing half-written. Anything else (a
// link, a device, a pipe, another user's file, a hard-linked file, a file in
// a read-only folder) is written through its path and keeps its owner, mode
// and links. A file the caller may not write is refused and left untouched.
// Returns kGsdWritten or kGsdNotWritten; on failure LastGsdWriteError says why.
int WriteGsdFile(const char* path, const TStudyRecord* record, bool baseToApex);

// kGsdNotWritten, with the reason in LastGsdWriteError, when output names
// the same file as input once links are followed; kGsdWritten otherwise.
int RefuseOutputIsInput(const char* output, const char* input);

extern std::string LastGsdWriteError;
