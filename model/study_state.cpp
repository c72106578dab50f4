#include "study_state.h"

#include <sys/mman.h>

#include <cstring>

TStudyRecord StudyRecord;
// Aligned for 2 MiB pages: a load touches the store frame by frame, and huge
// pages spare the kernel thousands of page faults on the largest study.
alignas(2 * 1024 * 1024) std::int16_t ImageStore[kStoreValues];
std::string InputPath;
std::string OutputPath;
bool BatchMode = false;

namespace {
#ifdef MADV_HUGEPAGE
// Only advice: where the kernel has no transparent huge pages nothing changes.
[[maybe_unused]] const int kStoreAdvised = ::madvise(ImageStore, sizeof ImageStore, MADV_HUGEPAGE);
#endif
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
