#include "model/study.h"

#include <cstdint>
#include <new>

#include "platform/memory_map.h"

namespace {

constexpr std::size_t kStoreBytes = kStoreValues * sizeof(std::int16_t);
constexpr std::uintptr_t kHugePage = 2 * 1024 * 1024;

}  // namespace

// A load touches the store frame by frame: beginning on a 2 MiB boundary,
// it is backed by huge pages where the system has them, which spares the
// kernel thousands of page faults on the largest study. The pages beyond
// the store's end are never touched.
FrameStore::FrameStore() : pages_(new (std::nothrow) PageBuffer) {
  if (!pages_ || !pages_->GrowTo(kStoreBytes + kHugePage)) return;
  const auto start = reinterpret_cast<std::uintptr_t>(pages_->data());
  values_ = reinterpret_cast<std::int16_t*>((start + kHugePage - 1) & ~(kHugePage - 1));
}

FrameStore::~FrameStore() = default;
