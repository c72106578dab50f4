#include "platform/standard_input.h"

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

bool StandardInputIsRegularFile() {
  struct stat info;
  return ::fstat(0, &info) == 0 && S_ISREG(info.st_mode);
}

bool MapStandardInput(const char*& data, std::size_t& size) {
  struct stat info;
  const off_t at = ::lseek(0, 0, SEEK_CUR);
  if (::fstat(0, &info) != 0 || !S_ISREG(info.st_mode) || at < 0 || info.st_size <= at)
    return false;
  void* mapped =
      ::mmap(nullptr, static_cast<std::size_t>(info.st_size), PROT_READ, MAP_PRIVATE, 0, 0);
  if (mapped == MAP_FAILED) return false;
  data = static_cast<const char*>(mapped) + at;
  size = static_cast<std::size_t>(info.st_size - at);
  return true;
}

int ReadStandardInput(std::string& bytes) {
  struct stat info;
  if (::fstat(0, &info) == 0 && S_ISREG(info.st_mode) && info.st_size > 0)
    bytes.reserve(bytes.size() + static_cast<std::size_t>(info.st_size));
  char chunk[1 << 16];
  for (;;) {
    ssize_t n = ::read(0, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    if (n == 0) return 0;
    bytes.append(chunk, static_cast<std::size_t>(n));
  }
}
