// What opening an input means on every system, over the system's own opens.
#include "platform/input_file.h"

#include <cerrno>

int StreamOfDescriptor(UniqueFd& fd, std::FILE*& stream) {
  stream = StreamOverDescriptor(fd.get(), "rb");
  if (stream == nullptr) return errno;
  fd.Release();
  return 0;
}

int OpenRegularFileStream(const std::string& path, std::FILE*& stream) {
  stream = nullptr;
  UniqueFd fd;
  FileStatus status;
  if (int error = OpenRegularFile(path, fd, status)) return error;
  return StreamOfDescriptor(fd, stream);
}
