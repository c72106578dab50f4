// Prints what a GSD file holds: its header fields and, per gate, the lowest,
// highest and total counts. Optionally draws all frames as one PNG montage.
#include <cstdint>
#include <cstdio>
#include <limits>
#include <string>

#include "gsd_reader.h"
#include "montage.h"

namespace {

const char* const kUsage =
    "usage: gsdinfo FILE [--png OUT.png]\n"
    "\n"
    "Checks that FILE is a well-formed Gated SPECT Data file, prints its header\n"
    "and the minimum, maximum and total counts of each gate. --png draws every\n"
    "frame as a grey-scale montage: one row per gate, frames left to right.\n"
    "Exit status: 0 well-formed, 1 malformed or unreadable, 2 usage error.\n";

void PrintGateCounts(const GsdFile& file) {
  std::printf("%-6s %8s %8s %14s\n", "gate", "min", "max", "total");
  for (int g = 0; g < file.Gates(); ++g) {
    int lowest = std::numeric_limits<int>::max(), highest = std::numeric_limits<int>::min();
    long long total = 0;
    for (int f = 0; f < file.frames; ++f) {
      const std::int16_t* frame = file.Frame(g, f);
      for (int i = 0; i < 4096; ++i) {
        lowest = frame[i] < lowest ? frame[i] : lowest;
        highest = frame[i] > highest ? frame[i] : highest;
        total += frame[i];
      }
    }
    if (file.frames == 0) lowest = highest = 0;
    std::printf("%-6d %8d %8d %14lld\n", g, lowest, highest, total);
  }
}

}  // namespace

int main(int argc, char** argv) {
  const char* input = nullptr;
  const char* png = nullptr;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (arg == "--png") {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "gsdinfo: --png needs a file name\n%s", kUsage);
        return 2;
      }
      png = argv[++i];
    } else if (input == nullptr) {
      input = argv[i];
    } else {
      std::fprintf(stderr, "gsdinfo: too many arguments\n%s", kUsage);
      return 2;
    }
  }
  if (input == nullptr) {
    std::fputs(kUsage, stderr);
    return 2;
  }

  GsdFile file;
  std::string error;
  if (!ReadGsdFile(input, file, error)) {
    std::fprintf(stderr, "gsdinfo: %s: %s\n", input, error.c_str());
    return 1;
  }
  std::printf("file: %s\nheader: %zu bytes\n", input, file.headerBytes);
  for (const auto& field : file.fields)
    std::printf("%-9s %s\n", (field.first + ":").c_str(), field.second.c_str());
  PrintGateCounts(file);
  if (png != nullptr) {
    if (!WriteMontagePng(file, png, error)) {
      std::fprintf(stderr, "gsdinfo: %s: %s\n", png, error.c_str());
      return 1;
    }
    std::printf("montage: %s\n", png);
  }
  return 0;
}
