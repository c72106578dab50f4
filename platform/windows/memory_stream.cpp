#include "platform/memory_stream.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>
// after windows.h
#include <knownfolders.h>
#include <shlobj.h>

#include <algorithm>
#include <string>

#include "platform/windows/memory_file.h"

namespace {

// A new file of its own in folder (ending in a separator), shared with no
// other opener and removed by the system once closed; none when the folder
// refuses it.
HANDLE NewFileIn(const std::wstring& folder) {
  for (unsigned attempt = 0; attempt < 100; ++attempt) {
    const std::wstring name =
        folder + kMemoryFilePrefix + std::to_wstring(::GetCurrentProcessId()) + L"-" +
        std::to_wstring(::GetTickCount64()) + L"-" + std::to_wstring(attempt) + L".tmp";
    const HANDLE file =
        ::CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, 0, nullptr, CREATE_NEW,
                      FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (file != INVALID_HANDLE_VALUE || ::GetLastError() != ERROR_FILE_EXISTS) return file;
  }
  return INVALID_HANDLE_VALUE;
}

// The temporary folder of a process at low integrity (the confined decoder
// helper), which may write nothing of its user's but what is labelled Low:
// Temp under LocalLow, made when missing.
std::wstring LowTemporaryFolder() {
  PWSTR low = nullptr;
  std::wstring folder;
  if (SUCCEEDED(::SHGetKnownFolderPath(FOLDERID_LocalAppDataLow, KF_FLAG_CREATE, nullptr, &low)))
    folder = std::wstring(low) + L"\\Temp\\";
  ::CoTaskMemFree(low);
  if (!folder.empty() && !::CreateDirectoryW(folder.c_str(), nullptr) &&
      ::GetLastError() != ERROR_ALREADY_EXISTS)
    folder.clear();
  return folder;
}

}  // namespace

// The C library here has no fmemopen: the bytes go into a file of their
// own in the temporary folder (the low-integrity one for a process the
// temporary folder refuses), shared with no other opener and removed by
// the system when the stream is closed (or the process ends). Binary mode,
// so "\r\n" and 0x1A stay bytes.
std::FILE* OpenMemoryStream(const char* data, std::size_t size) {
  wchar_t folder[MAX_PATH + 1];
  const DWORD length = ::GetTempPathW(MAX_PATH + 1, folder);
  if (length == 0 || length > MAX_PATH) return nullptr;
  HANDLE file = NewFileIn(folder);
  if (file == INVALID_HANDLE_VALUE && ::GetLastError() == ERROR_ACCESS_DENIED) {
    const std::wstring low = LowTemporaryFolder();
    if (!low.empty()) file = NewFileIn(low);
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
