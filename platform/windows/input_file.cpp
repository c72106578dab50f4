#include "platform/input_file.h"

#include <fcntl.h>
#include <io.h>

#include <cerrno>
#include <filesystem>

#include "platform/held_file.h"
#include "platform/windows/file_handle.h"

int OpenRegularFile(const std::string& path, UniqueFd& fd, FileStatus& status) {
  UniqueFd held;
  if (int error = HoldPath(path, held)) return error;
  if (int error = StatusOf(held.get(), status)) return error;
  if (status.type != FileType::kRegular) return kNotRegularFile;
  return OpenHeldForReading(held.get(), fd);
}

int OpenReadableStream(const std::string& path, std::FILE*& stream) {
  // A pipe's client connects at once or fails (busy); it never waits here.
  stream = nullptr;
  std::wstring wide;
  if (!WidePath(path, wide)) return path.empty() ? ENOENT : EILSEQ;
  UniqueFd fd;
  if (int error = OpenHandle(wide, GENERIC_READ, OPEN_EXISTING, true, _O_RDONLY, fd)) return error;
  // A folder opens (the handles here may hold folders) but reads as an
  // invalid call: it is refused as what it is.
  FileStatus status;
  if (StatusOf(fd.get(), status) == 0 && status.type == FileType::kFolder) return EISDIR;
  return StreamOfDescriptor(fd, stream);
}

long long ReadAt(int fd, void* buffer, std::size_t bytes, long long offset) {
  // A read at an offset moves a synchronous handle's position: it is put
  // back, as pread leaves it.
  const HANDLE handle = HandleOf(fd);
  LARGE_INTEGER none{}, position{};
  if (handle == INVALID_HANDLE_VALUE || !::SetFilePointerEx(handle, none, &position, FILE_CURRENT))
    return -1;
  OVERLAPPED at{};
  at.Offset = static_cast<DWORD>(offset & 0xFFFFFFFF);
  at.OffsetHigh = static_cast<DWORD>(static_cast<unsigned long long>(offset) >> 32);
  DWORD read = 0;
  const DWORD wanted = bytes > 0x40000000u ? 0x40000000u : static_cast<DWORD>(bytes);
  const bool ok =
      ::ReadFile(handle, buffer, wanted, &read, &at) || ::GetLastError() == ERROR_HANDLE_EOF;
  ::SetFilePointerEx(handle, position, nullptr, FILE_BEGIN);
  return ok ? static_cast<long long>(read) : -1;
}

// The file's present full path: the readers that open by name get the
// file the handle holds unless it was renamed in between.
std::string NameOfOpenFile(int fd) {
  const std::wstring path = PathOfHandle(HandleOf(fd));
  return path.empty() ? std::string() : std::filesystem::path(path).u8string();
}
