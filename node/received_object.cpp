#include "node/received_object.h"

#include <cerrno>
#include <cstring>

#include "platform/file_descriptor.h"

offile_off_t ReceivedObjectConsumer::write(const void* buf, offile_off_t buflen) {
  if (!good()) return 0;
  if (written_ + static_cast<std::uint64_t>(buflen) > limit_) {
    error_ =
        "the object is larger than --max-object-size (" + std::to_string(limit_ >> 20) + " MiB)";
    return 0;
  }
  const char* data = static_cast<const char*>(buf);
  offile_off_t left = buflen;
  while (left > 0) {
    const long long n = WriteDescriptor(fd_, data, static_cast<std::size_t>(left));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      error_ = n < 0 ? std::strerror(errno) : "nothing written";
      return buflen - left;
    }
    if (hashing_) hash_.Update(data, static_cast<std::size_t>(n));
    data += n;
    left -= n;
    written_ += static_cast<std::uint64_t>(n);
  }
  return buflen;
}
