#include "cli/gsd_inspect.h"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "cli/montage.h"
#include "gsd/gsd_reader.h"
#include "model/gate_curve.h"
#include "model/study_state.h"
#include "platform/file_identity.h"

namespace {

struct GateCounts {
  int lowest = std::numeric_limits<int>::max();
  int highest = std::numeric_limits<int>::min();
  long long total = 0;
};

// The input's identity, which the montage must not overwrite; none for a
// stream without a descriptor.
std::optional<ProtectedFile> InputIdentity(std::FILE* in, const std::string& name) {
  const std::optional<FileIdentity> identity = IdentityOfStream(in);
  if (!identity) return std::nullopt;
  return ProtectedFile{*identity, name};
}

// Gates numbered 1 to N, as the gating verdict names them; each total's
// difference from the mean of all gates (curve, of these gates) beside it.
void PrintGateCounts(const std::vector<GateCounts>& gates, const GateCurve& curve, bool anyFrames,
                     std::FILE* out) {
  std::fprintf(out, "%-6s %8s %8s %14s %8s\n", "gate", "min", "max", "total", "vs mean");
  for (std::size_t g = 0; g < gates.size(); ++g)
    std::fprintf(
        out, "%-6zu %8d %8d %14lld %8s\n", g + 1, anyFrames ? gates[g].lowest : 0,
        anyFrames ? gates[g].highest : 0, gates[g].total,
        curve.Gated() && curve.mean > 0 ? SignedPercent(curve.percentFromMean[g]).c_str() : "-");
  std::fprintf(out, "%s\n", GatingVerdict(curve, kGateTolerancePercent).c_str());
}

}  // namespace

std::string PrintableText(const std::string& text) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string shown;
  for (char c : text) {
    auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && byte < 0x7F) {
      shown += c;
    } else {
      shown += "\\x";
      shown += kHex[byte >> 4];
      shown += kHex[byte & 0xF];
    }
  }
  return shown;
}

int InspectGsd(std::FILE* in, const char* name, const char* png, std::FILE* out, std::FILE* err) {
  const std::string shownName = PrintableText(name);
  std::optional<ProtectedFile> input;
  if (png != nullptr) {
    // Refused before anything is read; the writer checks again on the file
    // it opens.
    input = InputIdentity(in, shownName);
    if (input && IdentityOfPath(png) == input->identity) {
      std::fprintf(err, "gsdinfo: %s: it is the input file %s; not overwritten\n",
                   PrintableText(png).c_str(), shownName.c_str());
      return 1;
    }
  }
  GsdFile file;
  std::string error;
  // The counts are gathered before anything is printed, so that a file
  // found short halfway prints only its error.
  std::vector<GateCounts> gates;
  bool ok = ReadGsdHeader(in, file, error);
  if (ok) {
    gates.resize(static_cast<std::size_t>(file.Gates()));
    if (png != nullptr) file.values.resize(file.FrameDataBytes() / 2);
    ok = ReadGsdFrames(
        in, file,
        [&](int gate, int index, const std::int16_t* values) {
          GateCounts& counts = gates[static_cast<std::size_t>(gate)];
          for (int i = 0; i < kFrameValues; ++i) {
            counts.lowest = std::min<int>(counts.lowest, values[i]);
            counts.highest = std::max<int>(counts.highest, values[i]);
            counts.total += values[i];
          }
          if (png != nullptr) file.KeepFrame(gate, index, values);
        },
        error);
  }
  if (!ok) {
    std::fprintf(err, "gsdinfo: %s: %s\n", shownName.c_str(), PrintableText(error).c_str());
    return 1;
  }
  std::fprintf(out, "file: %s\nheader: %zu bytes\n", shownName.c_str(), file.headerBytes);
  for (const auto& field : file.fields)
    std::fprintf(out, "%-9s %s\n", (field.first + ":").c_str(),
                 PrintableText(field.second).c_str());
  // One curve for the table, the verdict and the montage's strip.
  std::vector<long long> totals;
  for (const GateCounts& counts : gates) totals.push_back(counts.total);
  const GateCurve curve = CurveOfTotals(std::move(totals));
  PrintGateCounts(gates, curve, file.frames > 0, out);
  if (png != nullptr) {
    if (!WriteMontagePng(file, curve, png, error, input ? &*input : nullptr)) {
      std::fprintf(err, "gsdinfo: %s: %s\n", PrintableText(png).c_str(),
                   PrintableText(error).c_str());
      return 1;
    }
    std::fprintf(out, "montage: %s\n", PrintableText(png).c_str());
  }
  return 0;
}
