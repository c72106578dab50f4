// Loads a gated study: clears StudyRecord, scans the header and reads every
// frame of every gate into ImageStore, binning 128 x 128 frames to 64 x 64.
#pragma once

#include <cstdint>

#include "pixel_layout.h"  // BinMatrix128To64, for its tests and benchmark

// Values per row and rows per frame read from the file; both 64 after a
// 128-column study was binned.
extern std::int16_t WorkMatrixColumns;
extern std::int16_t WorkMatrixRows;

// Loader results, also the process exit codes of a failed load.
constexpr int kLoadOk = 0;
constexpr int kLoadFailed = 1;  // scan failed, declined, or unsupported study
constexpr int kLoadPixelDataShort = 4;
constexpr int kLoadNoMemory = 8;

// Opens the file once: the header scan and the pixel read use the same
// descriptor, so a file renamed into place between them cannot mix studies.
int LoadGatedStudy(const char* path);

// Called, when set, after the header scan and before the pixel read. Tests
// change the file on disk there.
extern void (*AfterHeaderScanForTesting)();

// Largest value in rows 5 to 45 of a 64 x 64 frame; 0 when none is positive.
std::int16_t FrameMaximum(const std::int16_t* frame64);
