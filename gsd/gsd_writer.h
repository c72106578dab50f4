// Writes a study, its record and its frames, as a GSD file.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "model/study.h"
#include "output/output_file.h"
#include "status/converter_status.h"

// The writer's results, also the process exit codes of a failed write.
constexpr int kGsdWritten = kExitSaved;
constexpr int kGsdNotWritten = kExitFailed;

// The header text, byte for byte as it goes to disk.
std::string ComposeGsdHeader(const TStudyRecord& record);

// The header's keys and values in file order, as ComposeGsdHeader writes
// them: the free texts sanitised, the numbers formatted.
std::vector<std::pair<std::string, std::string>> GsdHeaderFields(const TStudyRecord& record);

// Whether the project's reader reads the record's header back as written:
// false, with the reason in error, for a header it would reject (a count
// out of range or negative) or read otherwise (a line end inside a value).
bool GsdHeaderReadsBack(const TStudyRecord& record, std::string& error);

// Writes the file under the overwrite rules of output_file.h: an absent
// output, or a regular file of the caller's with one link in a folder the
// caller may write, is replaced in one rename by a complete new file; links
// are followed with the shared-folder rules; other files the rules allow are
// written in place and keep their owner, mode and links; a file the caller
// may not write, or that has no write bit, is left untouched. A record whose
// header would not read back is refused before any file is touched. The
// header comes from study.record, the frames from study.frames. Returns
// kGsdWritten or kGsdNotWritten with the reason in error. options choose how
// the bytes reach the disk (tests stand in failing streams and steps).
int WriteGsdFile(const char* path, const Study& study, bool baseToApex, std::string& error,
                 const OutputOptions& options = {});

// True, with the reason in error, when output names the file the study was
// read from once links are followed: said before the operator is asked
// anything; the writer checks again on the file it opens.
bool OutputIsTheInput(const char* output, const Study& study, std::string& error);
