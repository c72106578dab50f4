// libFuzzer target: the whole load of a DICOM file.
#include "fuzz/fuzz_inputs.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  RunDicomLoadInput(data, size);
  return 0;
}
