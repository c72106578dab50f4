#include "platform/stream_size.h"

#include <sys/stat.h>

long long RegularFileBytes(std::FILE* stream) {
  struct stat info;
  const int fd = ::fileno(stream);
  if (fd < 0 || ::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) return -1;
  return static_cast<long long>(info.st_size);
}

long long StreamOffset(std::FILE* stream) {
  return static_cast<long long>(::ftello(stream));
}
