// How the C library's heap takes memory from the system: for a short-lived
// process that allocates and frees large blocks again and again.
#pragma once

#include <cstddef>

// At most arenas heaps for all its threads (each further one reserves
// address space of its own); blocks from mapAbove bytes on mapped apart;
// freed memory kept in the heap until trimAbove bytes of it are free.
// Only advice: a C library without such settings ignores it.
void TuneHeap(int arenas, std::size_t mapAbove, std::size_t trimAbove);
