#include "model/study_state.h"

#include <cstring>

#include "platform/memory_map.h"

TStudyRecord StudyRecord;
// Aligned for 2 MiB pages: a load touches the store frame by frame, and huge
// pages spare the kernel thousands of page faults on the largest study.
alignas(2 * 1024 * 1024) std::int16_t ImageStore[kStoreValues];
std::string InputPath;
std::string OutputPath;
bool BatchMode = false;

namespace {
[[maybe_unused]] const bool kStoreAdvised = (AdviseHugePages(ImageStore, sizeof ImageStore), true);
}  // namespace

void CopyToField(char* field, std::size_t capacity, const char* text, std::size_t length) {
  if (capacity == 0) return;
  std::size_t n = length < capacity - 1 ? length : capacity - 1;
  std::memcpy(field, text, n);
  field[n] = '\0';
}

std::string StoreLimitText() {
  return "at most " + std::to_string(kStoreGates) + " gates of " +
         std::to_string(kStoreFramesPerGate) + " frames";
}
