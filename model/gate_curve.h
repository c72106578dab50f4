// The count curve of a gated study (total counts of each gate, first to
// last) and the beats the camera kept, with what a technologist reads from
// them. One computation for the window, the converter, the folder scan and
// gsdinfo, so that the curve shown before saving is the written GSD's.
#pragma once

#include <string>
#include <vector>

#include "model/scan_findings.h"

struct Study;

// Every gate of a regular gated acquisition spans the same share of the
// beat, so its total counts lie close to the mean of all gates. The
// nuclear-cardiology quality-control literature takes a gate more than
// 10-20 % off the mean (typically the last gates falling off with an
// irregular rhythm or a badly set R-R window) as gating to be checked
// before the ejection fraction is trusted; 15 % is the middle of that band
// and the default of dicom2gsd's --gating-tolerance.
constexpr double kGateTolerancePercent = 15.0;

// Beat rejection above a fifth of all beats is the same literature's sign of
// an arrhythmia or an R-R window that does not fit the patient's rhythm.
constexpr double kRejectedBeatsPercent = 20.0;

struct GateCurve {
  std::vector<long long> totals;  // gate 1 to N, as written to the GSD
  std::vector<double>
      percentFromMean;  // 100 (total - mean) / mean; 0 when the mean is not positive
  double mean = 0.0;

  bool Gated() const { return totals.size() > 1; }
  // The gate (0-based) farthest from the mean; -1 when not gated.
  int WorstGate() const;
};

// The curve of totals given gate by gate (gsdinfo counts them from a file).
GateCurve CurveOfTotals(std::vector<long long> totals);

// The curve of a loaded study: the frames the writer writes (gates of the
// record's gate count, one when it is 1 or less; its frames per gate).
GateCurve CurveOfStudy(const Study& study);

// Whether the gate's per cent, rounded as shown, lies beyond tolerance.
bool GateBeyond(const GateCurve& curve, std::size_t gate, double tolerancePercent);

// The gates beyond tolerance per cent, consecutive ones as a range:
// "gate 3 (-100 %)", "gates 14-16 (-26 %)", "gates 1-2 (+16 % to +18 %)";
// empty when every gate is within it or the study is not gated.
std::string GatesBeyond(const GateCurve& curve, double tolerancePercent);

// The share of beats the camera kept, in per cent; -1 when the file does not
// hold both Intervals Acquired and Intervals Rejected, or both are 0.
double KeptBeatsPercent(const BeatCounts& beats);

// The load's one caveat about the gating: gates beyond tolerance, more than
// kRejectedBeatsPercent of the beats rejected, or both; empty when neither.
std::string GatingWarning(const GateCurve& curve, const BeatCounts& beats, double tolerancePercent);

// The same caveat in short, for a summary of many studies: "gates 14-16
// (-26 %)", "30 % of beats rejected", or both joined by "; "; empty when
// the gating looks regular.
std::string GatingFlag(const GateCurve& curve, const BeatCounts& beats, double tolerancePercent);

// gsdinfo's "gating: ..." line: "gating: regular, every gate within 15 % of
// the mean", "gating: irregular, gates 14-16 (-26 %) ...", "gating: not
// gated (one gate)", or "gating: no counts".
std::string GatingVerdict(const GateCurve& curve, double tolerancePercent);

// "beats kept 1,412 of 1,530 (92 %), window 750-1,000 ms", or which of
// these values the file does not hold.
std::string BeatsLine(const BeatCounts& beats);

// Every beat value the file holds, one "name: value" line each, heartRate
// (beats per minute, -1 when absent) included; for a tooltip.
std::string BeatsDetails(const BeatCounts& beats, int heartRate);

// A per cent with its sign, rounded: "+6 %", "-26 %", "0 %".
std::string SignedPercent(double percent);

// A count with thousands separated by commas: 1412 -> "1,412".
std::string GroupedNumber(long long value);
