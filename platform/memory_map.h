// Memory taken from the operating system in pages rather than from the
// heap: large buffers that grow without moving their bytes, and the advice
// that they be backed by huge pages.
#pragma once

#include <cstddef>

// Anonymous pages, zero-filled, owned; grown by remapping (page tables, not
// bytes, move), advised for huge pages.
class PageBuffer {
 public:
  PageBuffer() = default;
  ~PageBuffer();
  PageBuffer(const PageBuffer&) = delete;
  PageBuffer& operator=(const PageBuffer&) = delete;

  char* data() const { return data_; }
  std::size_t capacity() const { return capacity_; }
  // Grows to bytes, keeping what it holds; false (unchanged) when the
  // system has no memory for it.
  bool GrowTo(std::size_t bytes);

 private:
  char* data_ = nullptr;
  std::size_t capacity_ = 0;
};

// Advises that the memory from start on be backed by huge pages: a buffer
// touched page by page is then spared thousands of faults. Only advice:
// where the system has no such pages nothing changes.
void AdviseHugePages(void* start, std::size_t bytes);
