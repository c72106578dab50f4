// Prints what a GSD file holds: its header fields and, per gate, the lowest,
// highest and total counts. Optionally draws all frames as one PNG montage.
#include <cstdio>
#include <string>

#include "cli/gsd_inspect.h"
#include "gsd/gsd_reader.h"
#include "platform/program_start.h"

namespace {

const char* const kUsage =
    "usage: gsdinfo FILE [--png OUT.png]\n"
    "       gsdinfo --help | --version\n"
    "\n"
    "Checks that FILE is a well-formed Gated SPECT Data file, prints its header\n"
    "and the minimum, maximum and total counts of each gate, with each total's\n"
    "difference from the mean of all gates and a \"gating:\" verdict (15 %\n"
    "tolerance). --png draws every frame as a grey-scale montage: one row per\n"
    "gate, frames left to right; under it, for a gated study, each gate's total\n"
    "as a bar, red beyond the tolerance, with the mean dashed.\n"
    "Exit status: 0 well-formed, 1 malformed or unreadable, 2 usage error.\n";

}  // namespace

int main(int argc, char** argv) {
  StartProgram(argc, argv);
  const char* input = nullptr;
  const char* png = nullptr;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (arg == "--version") {
      std::printf("gsdinfo %s\n", DGC_VERSION);
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

  std::string error;
  std::FILE* in = OpenGsdInput(input, error);
  if (in == nullptr) {
    std::fprintf(stderr, "gsdinfo: %s: %s\n", PrintableText(input).c_str(), error.c_str());
    return 1;
  }
  int status = InspectGsd(in, input, png, stdout, stderr);
  std::fclose(in);
  return status;
}
