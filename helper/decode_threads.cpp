#include "helper/decode_threads.h"

std::size_t CodecPeakBytes(std::size_t samples) {
  // OpenJPEG: the image and the tile's 32-bit planes, the wavelet's line
  // buffers and the code blocks' data, under 32 bytes a sample; IJG's
  // 16-bit range table and CharLS's context state under 1 MiB.
  return (std::size_t{1} << 20) + 32 * samples;
}

int ThreadsThatFit(int wanted, std::size_t frames, std::size_t samplesPerFrame,
                   std::size_t stackBytes, std::size_t memoryLeft, std::size_t taken) {
  std::size_t threads = wanted < 1 ? 1 : static_cast<std::size_t>(wanted);
  if (threads > frames) threads = frames;
  if (memoryLeft > 0) {
    // A guard page beside each stack, and the codec's peak.
    const std::size_t each = stackBytes + 4096 + CodecPeakBytes(samplesPerFrame);
    const std::size_t fit = memoryLeft > taken ? (memoryLeft - taken) / each : 0;
    if (threads > fit) threads = fit;
  }
  return threads < 1 ? 1 : static_cast<int>(threads);
}
