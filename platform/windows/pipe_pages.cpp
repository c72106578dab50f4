#include "platform/pipe_pages.h"

#include <windows.h>

#include <algorithm>

// Windows hands no pages to a pipe by reference: the pages are only
// committed memory of their own, and every write is a copy.
PipePages::~PipePages() {
  if (data_ != nullptr) ::VirtualFree(data_, 0, MEM_RELEASE);
}

bool PipePages::Allocate(std::size_t bytes) {
  constexpr std::size_t kGranularity = std::size_t{64} << 10;
  const std::size_t rounded =
      (std::max<std::size_t>(bytes, 1) + kGranularity - 1) / kGranularity * kGranularity;
  void* pages = ::VirtualAlloc(nullptr, rounded, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
  if (pages == nullptr) return false;
  data_ = static_cast<char*>(pages);
  mapped_ = rounded;
  return true;
}

bool WriteAllToStandardOutput(const void* bytes, std::size_t size) {
  const HANDLE output = ::GetStdHandle(STD_OUTPUT_HANDLE);
  const char* p = static_cast<const char*>(bytes);
  while (size > 0) {
    const DWORD part = static_cast<DWORD>(std::min<std::size_t>(size, DWORD{1} << 30));
    DWORD n = 0;
    if (!::WriteFile(output, p, part, &n, nullptr) || n == 0) return false;
    p += n;
    size -= n;
  }
  return true;
}

bool WritePagesToStandardOutput(const char* bytes, std::size_t size, bool& spliceable) {
  spliceable = false;
  return WriteAllToStandardOutput(bytes, size);
}
