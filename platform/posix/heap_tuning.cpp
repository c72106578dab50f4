#include "platform/heap_tuning.h"

#include <malloc.h>

void TuneHeap(int arenas, std::size_t mapAbove, std::size_t trimAbove) {
  ::mallopt(M_ARENA_MAX, arenas);
  ::mallopt(M_MMAP_THRESHOLD, static_cast<int>(mapAbove));
  ::mallopt(M_TRIM_THRESHOLD, static_cast<int>(trimAbove));
}
