// libFuzzer target: the strict GSD reader.
#include "fuzz_inputs.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  RunGsdReaderInput(data, size);
  return 0;
}
