// libFuzzer target: the decoder helper's frame path (frame_decode.h) on any
// RLE file: the data-set walk to the Pixel Data, the fragments and their
// grouping into frames, and the RLE decoder, on two threads, the decoded
// copy going to /dev/null. Other syntaxes are left out: their codec
// libraries size what they allocate by the codestream, which the own codecs'
// target covers.
#include <fcntl.h>
#include <string.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <vector>

#include "helper/frame_decode.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (null < 0 || ::dup2(null, 1) < 0) std::abort();
  ::close(null);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const char kRle[] = "1.2.840.10008.1.2.5";  // with its NUL pad
  if (::memmem(data, size, kRle, sizeof kRle) == nullptr) return 0;
  // A copy of exactly size bytes, so that the sanitizer sees any read past it.
  const std::vector<char> input(data, data + size);
  const FrameDecodeOutcome outcome = DecodeFramesToStandardOutput(input.data(), input.size(), 2);
  // Every failure has its reason.
  if (outcome.result != FrameDecodeOutcome::kWritten && outcome.why.empty()) std::abort();
  return 0;
}
