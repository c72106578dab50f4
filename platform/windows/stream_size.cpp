#include "platform/stream_size.h"

#include <io.h>
#include <windows.h>

#include <cstdint>

#include "platform/windows/memory_file.h"

long long RegularFileBytes(std::FILE* stream) {
  const int fd = ::_fileno(stream);
  const HANDLE file =
      fd < 0 ? INVALID_HANDLE_VALUE : reinterpret_cast<HANDLE>(::_get_osfhandle(fd));
  BY_HANDLE_FILE_INFORMATION info;
  // A memory stream is a file here, but no regular file of the caller's.
  if (file == INVALID_HANDLE_VALUE || ::GetFileType(file) != FILE_TYPE_DISK || IsMemoryFile(file) ||
      !::GetFileInformationByHandle(file, &info) ||
      (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
    return -1;
  return static_cast<long long>((std::uint64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow);
}

long long StreamOffset(std::FILE* stream) {
  return ::_ftelli64(stream);
}
