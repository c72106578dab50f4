#include "core/frame_count.h"

#include "model/value_text.h"

std::int32_t ParseNumberOfFrames(const char* text) {
  return ParseWholeNumber(text);
}

bool SlicesStandInForFrames(std::int32_t numberOfFrames, int numberOfSlices) {
  return numberOfFrames < 5 && numberOfSlices >= 0;
}

std::int32_t StatedFrames(std::int32_t numberOfFrames, int numberOfSlices) {
  return SlicesStandInForFrames(numberOfFrames, numberOfSlices) ? numberOfSlices : numberOfFrames;
}

std::int32_t FramesPerGate(std::int32_t stated, int gates, int numberOfSlices) {
  if (stated >= 5 && numberOfSlices > 0) return numberOfSlices;
  return gates >= 1 ? stated / gates : stated;
}
