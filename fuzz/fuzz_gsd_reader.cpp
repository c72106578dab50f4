// libFuzzer target: the strict GSD reader, gsdinfo's whole path on the same
// bytes, and what gsdinfo prints of an accepted file: nothing from the
// header may reach the terminal as a control byte.
#include <cstdio>
#include <cstdlib>

#include "cli/gsd_inspect.h"
#include "fuzz/fuzz_inputs.h"
#include "platform/memory_stream.h"

namespace {

// The report gsdinfo prints for data, which the reader accepted.
void CheckReportIsPrintable(const std::uint8_t* data, std::size_t size) {
  std::FILE* in = OpenMemoryStream(reinterpret_cast<const char*>(data), size);
  char* report = nullptr;
  std::size_t reportSize = 0;
  std::FILE* out = ::open_memstream(&report, &reportSize);
  if (in == nullptr || out == nullptr) std::abort();
  if (InspectGsd(in, "fuzz.gsd", nullptr, out, out) != 0) std::abort();
  std::fclose(in);
  std::fclose(out);
  for (std::size_t i = 0; i < reportSize; ++i) {
    auto byte = static_cast<unsigned char>(report[i]);
    if (byte != '\n' && (byte < 0x20 || byte > 0x7E)) std::abort();
  }
  std::free(report);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (RunGsdReaderInput(data, size)) CheckReportIsPrintable(data, size);
  return 0;
}
