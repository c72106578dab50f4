#include "platform/heap_tuning.h"

// The Windows C runtime's heap has one lock for all threads and takes large
// blocks from the system apart of itself: none of the settings applies.
void TuneHeap(int arenas, std::size_t mapAbove, std::size_t trimAbove) {
  (void)arenas;
  (void)mapAbove;
  (void)trimAbove;
}
