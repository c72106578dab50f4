#include "platform/pipe_pages.h"

#include <fcntl.h>  // vmsplice
#include <sys/mman.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

namespace {

constexpr std::size_t kHugePage = std::size_t{2} << 20;

}  // namespace

PipePages::~PipePages() {
  if (data_ != nullptr) ::munmap(data_, mapped_);
}

bool PipePages::Allocate(std::size_t bytes) {
  const std::size_t rounded = (bytes + kHugePage - 1) / kHugePage * kHugePage;
  void* p = ::mmap(nullptr, rounded + kHugePage, PROT_READ | PROT_WRITE,
                   MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) return false;
  // Keep the aligned part only.
  const auto start = reinterpret_cast<std::uintptr_t>(p);
  const std::uintptr_t aligned = (start + kHugePage - 1) / kHugePage * kHugePage;
  if (aligned > start) ::munmap(p, aligned - start);
  const std::uintptr_t end = start + rounded + kHugePage;
  if (end > aligned + rounded)
    ::munmap(reinterpret_cast<void*>(aligned + rounded), end - aligned - rounded);
  ::madvise(reinterpret_cast<void*>(aligned), rounded, MADV_HUGEPAGE);
  data_ = reinterpret_cast<char*>(aligned);
  mapped_ = rounded;
  return true;
}

bool WriteAllToStandardOutput(const void* bytes, std::size_t size) {
  const char* p = static_cast<const char*>(bytes);
  while (size > 0) {
    ssize_t n = ::write(1, p, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

bool WritePagesToStandardOutput(const char* p, std::size_t size, bool& spliceable) {
  while (size > 0 && spliceable) {
    iovec part{const_cast<char*>(p), size};
    ssize_t n = ::vmsplice(1, &part, 1, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EBADF || errno == EINVAL || errno == ENOSYS)) {
      spliceable = false;
      break;
    }
    if (n <= 0) return false;
    p += n;
    size -= static_cast<std::size_t>(n);
  }
  return WriteAllToStandardOutput(p, size);
}
