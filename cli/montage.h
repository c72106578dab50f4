// A picture of a whole GSD study: one row per gate, the gate's frames left
// to right in grey scaled to the study's maximum, and under them the count
// curve, a bar per gate.
#pragma once

#include <string>

#include "gsd/gsd_reader.h"
#include "model/gate_curve.h"
#include "output/output_file.h"

// The strip under the montage that holds the curve, in pixels; a study of
// one gate has none.
constexpr int kCurveStripHeight = 96;

// Writes the montage as PNG under the output-file rules (output_file.h),
// never onto notThis when it is given. curve is the file's (CurveOfTotals of
// its gates' totals): each gate's total as a bar from the strip's foot,
// scaled to the highest, red beyond kGateTolerancePercent of the mean and
// blue within; the band within tolerance shaded and the mean a dashed line.
// Returns false with the reason in error.
bool WriteMontagePng(const GsdFile& file, const GateCurve& curve, const char* path,
                     std::string& error, const ProtectedFile* notThis = nullptr);
