#include "model/gate_curve.h"

#include <cmath>
#include <cstdio>

#include "model/study.h"

int GateCurve::WorstGate() const {
  if (!Gated()) return -1;
  int worst = 0;
  for (std::size_t g = 1; g < percentFromMean.size(); ++g)
    if (std::fabs(percentFromMean[g]) > std::fabs(percentFromMean[worst]))
      worst = static_cast<int>(g);
  return worst;
}

GateCurve CurveOfTotals(std::vector<long long> totals) {
  GateCurve curve;
  curve.totals = std::move(totals);
  if (curve.totals.empty()) return curve;
  long double sum = 0;
  for (long long total : curve.totals) sum += total;
  curve.mean = static_cast<double>(sum / curve.totals.size());
  for (long long total : curve.totals)
    curve.percentFromMean.push_back(curve.mean > 0 ? 100.0 * (total - curve.mean) / curve.mean
                                                   : 0.0);
  return curve;
}

GateCurve CurveOfStudy(const Study& study) {
  const int gates = study.record.gateCount > 1 ? study.record.gateCount : 1;
  const int frames = study.record.frameCount;
  std::vector<long long> totals(static_cast<std::size_t>(gates), 0);
  if (!study.frames.Held() || gates > kStoreGates || frames < 0 || frames > kStoreFramesPerGate)
    return CurveOfTotals(std::move(totals));
  for (int g = 0; g < gates; ++g)
    for (int f = 0; f < frames; ++f) {
      const std::int16_t* slot = study.frames.Slot(g, f);
      long long sum = 0;
      for (int v = 0; v < kFrameValues; ++v) sum += slot[v];
      totals[static_cast<std::size_t>(g)] += sum;
    }
  return CurveOfTotals(std::move(totals));
}

std::string SignedPercent(double percent) {
  long rounded = std::lround(percent);
  char text[32];
  std::snprintf(text, sizeof text, rounded > 0 ? "+%ld %%" : "%ld %%", rounded);
  return text;
}

std::string GroupedNumber(long long value) {
  std::string digits = std::to_string(value < 0 ? -value : value);
  for (int at = static_cast<int>(digits.size()) - 3; at > 0; at -= 3)
    digits.insert(static_cast<std::size_t>(at), ",");
  return value < 0 ? "-" + digits : digits;
}

bool GateBeyond(const GateCurve& curve, std::size_t gate, double tolerancePercent) {
  // Judged on the whole per cent shown, so that no gate shown at +15 % is
  // named as more than 15 % off.
  return std::fabs(static_cast<double>(std::lround(curve.percentFromMean[gate]))) >
         tolerancePercent;
}

namespace {

bool Beyond(const GateCurve& curve, std::size_t gate, double tolerancePercent) {
  return GateBeyond(curve, gate, tolerancePercent);
}

// "gate 3 (-100 %)" or "gates 14-16 (-26 %)"; a run whose gates round to
// different per cents gives its extremes, nearest the mean first:
// "(-24 % to -28 %)".
std::string RunText(const GateCurve& curve, std::size_t first, std::size_t last) {
  // The run's extremes, in the order of the first gate's side.
  double least = curve.percentFromMean[first], most = least;
  for (std::size_t g = first; g <= last; ++g) {
    least = std::fmin(least, curve.percentFromMean[g]);
    most = std::fmax(most, curve.percentFromMean[g]);
  }
  std::string from = SignedPercent(least < 0 ? most : least);
  std::string to = SignedPercent(least < 0 ? least : most);
  std::string range = from == to ? from : from + " to " + to;
  if (first == last) return "gate " + std::to_string(first + 1) + " (" + range + ")";
  return "gates " + std::to_string(first + 1) + "-" + std::to_string(last + 1) + " (" + range + ")";
}

}  // namespace

std::string GatesBeyond(const GateCurve& curve, double tolerancePercent) {
  if (!curve.Gated() || curve.mean <= 0) return "";
  std::string named;
  const std::size_t gates = curve.totals.size();
  for (std::size_t g = 0; g < gates; ++g) {
    if (!Beyond(curve, g, tolerancePercent)) continue;
    // A run: consecutive gates beyond tolerance on the same side of the mean.
    std::size_t last = g;
    const bool below = curve.percentFromMean[g] < 0;
    while (last + 1 < gates && Beyond(curve, last + 1, tolerancePercent) &&
           (curve.percentFromMean[last + 1] < 0) == below)
      ++last;
    named += (named.empty() ? "" : ", ") + RunText(curve, g, last);
    g = last;
  }
  return named;
}

double KeptBeatsPercent(const BeatCounts& beats) {
  if (beats.acquired < 0 || beats.rejected < 0) return -1.0;
  const long long all = static_cast<long long>(beats.acquired) + beats.rejected;
  return all > 0 ? 100.0 * beats.acquired / all : -1.0;
}

namespace {

std::string Rounded(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.0f", value);
  return text;
}

std::string ToleranceText(double tolerancePercent) {
  char text[32];
  std::snprintf(text, sizeof text, "%g %%", tolerancePercent);
  return text;
}

// Whether more than kRejectedBeatsPercent of the beats were rejected.
bool TooManyRejected(const BeatCounts& beats) {
  const double kept = KeptBeatsPercent(beats);
  return kept >= 0 && 100.0 - kept > kRejectedBeatsPercent;
}

}  // namespace

std::string GatingFlag(const GateCurve& curve, const BeatCounts& beats, double tolerancePercent) {
  std::string flag = GatesBeyond(curve, tolerancePercent);
  if (TooManyRejected(beats))
    flag += (flag.empty() ? "" : "; ") + Rounded(100.0 - KeptBeatsPercent(beats)) +
            " % of beats rejected";
  return flag;
}

std::string GatingWarning(const GateCurve& curve, const BeatCounts& beats,
                          double tolerancePercent) {
  std::string gates = GatesBeyond(curve, tolerancePercent);
  std::string said;
  if (!gates.empty())
    said = "total counts more than " + ToleranceText(tolerancePercent) +
           " from the mean of all gates in " + gates;
  if (TooManyRejected(beats)) {
    const double kept = KeptBeatsPercent(beats);
    const long long all = static_cast<long long>(beats.acquired) + beats.rejected;
    said += (said.empty() ? "" : "; ") + GroupedNumber(beats.rejected) + " of " +
            GroupedNumber(all) + " beats (" + Rounded(100.0 - kept) + " %) rejected, more than " +
            ToleranceText(kRejectedBeatsPercent);
  }
  if (said.empty()) return "";
  return "the gating looks irregular: " + said +
         ". Check the ECG gating before an ejection fraction is computed from this study";
}

std::string GatingVerdict(const GateCurve& curve, double tolerancePercent) {
  if (!curve.Gated()) return "gating: not gated (one gate)";
  if (curve.mean <= 0) return "gating: no counts";
  const std::string gates = GatesBeyond(curve, tolerancePercent);
  if (gates.empty())
    return "gating: regular, every gate within " + ToleranceText(tolerancePercent) + " of the mean";
  return "gating: irregular, " + gates + " beyond " + ToleranceText(tolerancePercent) +
         " of the mean";
}

std::string BeatsLine(const BeatCounts& beats) {
  std::string line;
  const double kept = KeptBeatsPercent(beats);
  if (kept >= 0)
    line = "beats kept " + GroupedNumber(beats.acquired) + " of " +
           GroupedNumber(static_cast<long long>(beats.acquired) + beats.rejected) + " (" +
           Rounded(kept) + " %)";
  else if (beats.acquired >= 0)
    line =
        "beats kept " + GroupedNumber(beats.acquired) + " (the file holds no Intervals Rejected)";
  else if (beats.rejected >= 0)
    line = "beats rejected " + GroupedNumber(beats.rejected) +
           " (the file holds no Intervals Acquired)";
  else
    line = "the file holds no Intervals Acquired or Rejected";
  if (beats.lowRR >= 0 && beats.highRR >= 0)
    line += ", window " + GroupedNumber(beats.lowRR) + "-" + GroupedNumber(beats.highRR) + " ms";
  else if (beats.lowRR >= 0)
    line += ", window from " + GroupedNumber(beats.lowRR) + " ms (no High R-R Value)";
  else if (beats.highRR >= 0)
    line += ", window up to " + GroupedNumber(beats.highRR) + " ms (no Low R-R Value)";
  else
    line += ", no R-R window (Low/High R-R Value) in the file";
  return line;
}

std::string BeatsDetails(const BeatCounts& beats, int heartRate) {
  std::string text;
  auto add = [&text](const char* name, long long value, const char* unit) {
    text += std::string(text.empty() ? "" : "\n") + name + ": " +
            (value < 0 ? std::string("not in the file") : GroupedNumber(value) + unit);
  };
  add("Intervals Acquired (0018,1083)", beats.acquired, "");
  add("Intervals Rejected (0018,1084)", beats.rejected, "");
  add("Low R-R Value (0018,1081)", beats.lowRR, " ms");
  add("High R-R Value (0018,1082)", beats.highRR, " ms");
  add("Skip Beats (0018,1086)", beats.skipBeats, "");
  add("Nominal Interval (0018,1062)", beats.nominalInterval, " ms");
  if (beats.frameTime < 0) {
    add("Frame Time (0018,1063)", -1, "");
  } else {
    char value[48];
    std::snprintf(value, sizeof value, "%g ms", beats.frameTime);
    text += std::string("\nFrame Time (0018,1063): ") + value;
  }
  add("Heart Rate (0018,1088)", heartRate, " /min");
  return text;
}
