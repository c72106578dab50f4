// Pages whose bytes go into a pipe by reference: a program that writes a
// large result to its standard output hands the reader its own pages (the
// reader's read is then the only copy), and copies only where the output is
// no pipe.
#pragma once

#include <cstddef>

// Anonymous pages, zero-filled, in a mapping of their own aligned to and
// rounded up to huge pages and advised for them (fewer page faults while
// they are filled). Never handed back to the heap while they live, so no
// allocation writes over bytes a reader has not read yet.
class PipePages {
 public:
  PipePages() = default;
  ~PipePages();
  PipePages(const PipePages&) = delete;
  PipePages& operator=(const PipePages&) = delete;

  // bytes of them; false when the system has no memory for it.
  bool Allocate(std::size_t bytes);
  char* data() const { return data_; }
  // What the mapping takes of the address space.
  std::size_t mapped() const { return mapped_; }

 private:
  char* data_ = nullptr;
  std::size_t mapped_ = 0;
};

// Writes size bytes to standard output: by reference while spliceable and
// standard output is a pipe that takes them so, copied from the first
// refusal on (spliceable then false). Pages given by reference must not be
// written again. False when the write fails.
bool WritePagesToStandardOutput(const char* bytes, std::size_t size, bool& spliceable);

// Writes size bytes to standard output, copied; false when the write fails.
bool WriteAllToStandardOutput(const void* bytes, std::size_t size);
