// Loads a gated study: clears StudyRecord, scans the header and reads every
// frame of every gate into ImageStore, binning 128 x 128 frames to 64 x 64.
#pragma once

#include <cstdint>

#include "core/load_options.h"
#include "core/load_report.h"
#include "core/pixel_layout.h"  // BinMatrix128To64, for its tests and benchmark
#include "status/converter_status.h"

// Values per row and rows per frame read from the file; both 64 after a
// 128-column study was binned.
extern std::int16_t WorkMatrixColumns;
extern std::int16_t WorkMatrixRows;

// Loader results, also the process exit codes of a failed load.
constexpr int kLoadOk = kExitSaved;
constexpr int kLoadFailed = kExitFailed;  // scan failed, declined, or unsupported study
constexpr int kLoadPixelDataShort = kExitPixelDataShort;
constexpr int kLoadNoMemory = kExitNoMemory;

// Opens the file once: the header scan and the pixel read use the same
// descriptor, so a file renamed into place between them cannot mix studies.
// options say how questions are answered, how the decoder runs and whether
// to go on; report, emptied first, says why a load failed and what a
// successful one wants the operator to know.
int LoadGatedStudy(const char* path, const LoadOptions& options, LoadReport& report);

// Largest value in rows 5 to 45 of a 64 x 64 frame; 0 when none is positive.
std::int16_t FrameMaximum(const std::int16_t* frame64);
