#include "gsd_inspect.h"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "gsd_reader.h"
#include "montage.h"

namespace {

struct GateCounts {
  int lowest = std::numeric_limits<int>::max();
  int highest = std::numeric_limits<int>::min();
  long long total = 0;
};

void PrintGateCounts(const std::vector<GateCounts>& gates, bool anyFrames, std::FILE* out) {
  std::fprintf(out, "%-6s %8s %8s %14s\n", "gate", "min", "max", "total");
  for (std::size_t g = 0; g < gates.size(); ++g)
    std::fprintf(out, "%-6zu %8d %8d %14lld\n", g, anyFrames ? gates[g].lowest : 0,
                 anyFrames ? gates[g].highest : 0, gates[g].total);
}

}  // namespace

int InspectGsd(std::FILE* in, const char* name, const char* png, std::FILE* out, std::FILE* err) {
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
          for (int i = 0; i < 4096; ++i) {
            counts.lowest = std::min<int>(counts.lowest, values[i]);
            counts.highest = std::max<int>(counts.highest, values[i]);
            counts.total += values[i];
          }
          if (png != nullptr) file.KeepFrame(gate, index, values);
        },
        error);
  }
  if (!ok) {
    std::fprintf(err, "gsdinfo: %s: %s\n", name, error.c_str());
    return 1;
  }
  std::fprintf(out, "file: %s\nheader: %zu bytes\n", name, file.headerBytes);
  for (const auto& field : file.fields)
    std::fprintf(out, "%-9s %s\n", (field.first + ":").c_str(), field.second.c_str());
  PrintGateCounts(gates, file.frames > 0, out);
  if (png != nullptr) {
    if (!WriteMontagePng(file, png, error)) {
      std::fprintf(err, "gsdinfo: %s: %s\n", png, error.c_str());
      return 1;
    }
    std::fprintf(out, "montage: %s\n", png);
  }
  return 0;
}
