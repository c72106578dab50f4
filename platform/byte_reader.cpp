// The readers of memory_stream.h: plain C++, the same on every system.
#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/memory_stream.h"

int ByteReader::Get() {
  unsigned char byte;
  return Read(&byte, 1) == 1 ? byte : -1;
}

std::size_t MemoryReader::Read(void* buffer, std::size_t bytes) {
  const std::size_t n = std::min(bytes, bytes_.size() - at_);
  if (n > 0) std::memcpy(buffer, bytes_.data() + at_, n);
  at_ += n;
  return n;
}

std::size_t StreamReader::Read(void* buffer, std::size_t bytes) {
  errno = 0;
  const std::size_t n = std::fread(buffer, 1, bytes, stream_);
  if (n < bytes && std::ferror(stream_) && error_ == 0) error_ = errno != 0 ? errno : EIO;
  return n;
}
