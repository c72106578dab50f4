#include "platform/memory_map.h"

#include <sys/mman.h>

PageBuffer::~PageBuffer() {
  if (data_ != nullptr) ::munmap(data_, capacity_);
}

bool PageBuffer::GrowTo(std::size_t bytes) {
  if (bytes <= capacity_) return true;
  void* grown = data_ == nullptr ? ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE,
                                          MAP_PRIVATE | MAP_ANONYMOUS, -1, 0)
                                 : ::mremap(data_, capacity_, bytes, MREMAP_MAYMOVE);
  if (grown == MAP_FAILED) return false;
  AdviseHugePages(grown, bytes);
  data_ = static_cast<char*>(grown);
  capacity_ = bytes;
  return true;
}

void AdviseHugePages([[maybe_unused]] void* start, [[maybe_unused]] std::size_t bytes) {
#ifdef MADV_HUGEPAGE
  ::madvise(start, bytes, MADV_HUGEPAGE);
#endif
}
