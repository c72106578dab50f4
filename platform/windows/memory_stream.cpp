#include "platform/memory_stream.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <algorithm>
#include <string>

#include "platform/windows/memory_file.h"

// The C library here has no fmemopen: the bytes go into a file of their
// own in the temporary folder, shared with no other opener and removed by
// the system when the stream is closed (or the process ends). Binary mode,
// so "\r\n" and 0x1A stay bytes.
std::FILE* OpenMemoryStream(const char* data, std::size_t size) {
  wchar_t folder[MAX_PATH + 1];
  const DWORD length = ::GetTempPathW(MAX_PATH + 1, folder);
  if (length == 0 || length > MAX_PATH) return nullptr;
  HANDLE file = INVALID_HANDLE_VALUE;
  for (unsigned attempt = 0; attempt < 100 && file == INVALID_HANDLE_VALUE; ++attempt) {
    const std::wstring name =
        std::wstring(folder) + kMemoryFilePrefix + std::to_wstring(::GetCurrentProcessId()) + L"-" +
        std::to_wstring(::GetTickCount64()) + L"-" + std::to_wstring(attempt) + L".tmp";
    file = ::CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, 0, nullptr,
                         CREATE_NEW, FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (file == INVALID_HANDLE_VALUE && ::GetLastError() != ERROR_FILE_EXISTS) return nullptr;
  }
  if (file == INVALID_HANDLE_VALUE) return nullptr;
  bool written = true;
  for (std::size_t at = 0; written && at < size;) {
    const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(size - at, 1u << 30));
    DWORD wrote = 0;
    written = ::WriteFile(file, data + at, chunk, &wrote, nullptr) && wrote == chunk;
    at += wrote;
  }
  LARGE_INTEGER start{};
  if (!written || !::SetFilePointerEx(file, start, nullptr, FILE_BEGIN)) {
    ::CloseHandle(file);
    return nullptr;
  }
  const int fd = ::_open_osfhandle(reinterpret_cast<intptr_t>(file), _O_RDONLY | _O_BINARY);
  if (fd < 0) {
    ::CloseHandle(file);
    return nullptr;
  }
  std::FILE* stream = ::_fdopen(fd, "rb");
  if (stream == nullptr) ::_close(fd);
  return stream;
}
