#include "platform/input_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "platform/held_file.h"

namespace {

// Reads on the descriptor wait for data again, once the open could not.
int Blocking(int fd) {
  const int flags = ::fcntl(fd, F_GETFL);
  return flags >= 0 && ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0 ? 0 : errno;
}

}  // namespace

int OpenRegularFile(const std::string& path, UniqueFd& fd, FileStatus& status) {
  UniqueFd held;
  if (int error = HoldPath(path, held)) return error;
  if (int error = StatusOf(held.get(), status)) return error;
  if (status.type != FileType::kRegular) return kNotRegularFile;
  int error = OpenHeldForReading(held.get(), fd);
  if (error == ENOENT) {
    // No /proc (a container without it): the name is opened again and the
    // file it gives checked to be a regular file. O_NONBLOCK: a FIFO
    // swapped in meanwhile does not hold the open.
    fd.Reset(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    error = fd.valid() ? StatusOf(fd.get(), status) : errno;
    if (error == 0 && status.type != FileType::kRegular) error = kNotRegularFile;
  }
  if (error == 0) error = Blocking(fd.get());
  if (error != 0) fd.Reset();
  return error;
}

int OpenReadableStream(const std::string& path, std::FILE*& stream) {
  stream = nullptr;
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (!fd.valid()) return errno;
  if (int error = Blocking(fd.get())) return error;
  return StreamOfDescriptor(fd, stream);
}

long long ReadAt(int fd, void* buffer, std::size_t bytes, long long offset) {
  return ::pread(fd, buffer, bytes, static_cast<off_t>(offset));
}

std::string NameOfOpenFile(int fd) {
  return "/proc/self/fd/" + std::to_string(fd);
}
