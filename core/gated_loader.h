// Loads a gated study into the caller's Study: clears its record, scans the
// header and reads every frame of every gate into its frame store, binning
// 128 x 128 frames to 64 x 64.
#pragma once

#include <cstdint>

#include "core/load_options.h"
#include "core/load_report.h"
#include "core/pixel_layout.h"  // BinMatrix128To64, for its tests and benchmark
#include "model/study.h"
#include "status/converter_status.h"

// Loader results, also the process exit codes of a failed load.
constexpr int kLoadOk = kExitSaved;
constexpr int kLoadFailed = kExitFailed;  // scan failed, declined, or unsupported study
constexpr int kLoadPixelDataShort = kExitPixelDataShort;
constexpr int kLoadNoMemory = kExitNoMemory;

// Opens the file once: the header scan and the pixel read use the same
// descriptor, so a file renamed into place between them cannot mix studies.
// study is the one filled; frames a load does not fill hold zeros. options
// say how questions are answered, how the decoder runs and whether to go
// on; report, emptied first, says why a load failed and what a successful
// one wants the operator to know. Loads into different Studies share
// nothing.
int LoadGatedStudy(const char* path, Study& study, const LoadOptions& options, LoadReport& report);

// Largest value in rows 5 to 45 of a 64 x 64 frame; 0 when none is positive.
std::int16_t FrameMaximum(const std::int16_t* frame64);
