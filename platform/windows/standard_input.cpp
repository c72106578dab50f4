#include "platform/standard_input.h"

#include <io.h>
#include <windows.h>

#include <cerrno>

#include "platform/windows/wide_text.h"

namespace {

HANDLE Input() {
  return ::GetStdHandle(STD_INPUT_HANDLE);
}

bool IsDiskFile(HANDLE file) {
  return file != nullptr && file != INVALID_HANDLE_VALUE && ::GetFileType(file) == FILE_TYPE_DISK;
}

}  // namespace

bool StandardInputIsRegularFile() {
  FILE_STANDARD_INFO info{};
  return IsDiskFile(Input()) &&
         ::GetFileInformationByHandleEx(Input(), FileStandardInfo, &info, sizeof info) &&
         !info.Directory;
}

bool MapStandardInput(const char*& data, std::size_t& size) {
  const HANDLE file = Input();
  LARGE_INTEGER at{}, length{}, zero{};
  if (!StandardInputIsRegularFile() || !::SetFilePointerEx(file, zero, &at, FILE_CURRENT) ||
      !::GetFileSizeEx(file, &length) || length.QuadPart <= at.QuadPart)
    return false;
  // A copy-on-write view: the pages are this process's, as a private
  // mapping's are; the mapping object goes once the view holds them.
  const HANDLE mapping = ::CreateFileMappingW(file, nullptr, PAGE_WRITECOPY, 0, 0, nullptr);
  if (mapping == nullptr) return false;
  void* view = ::MapViewOfFile(mapping, FILE_MAP_COPY, 0, 0, 0);
  ::CloseHandle(mapping);
  if (view == nullptr) return false;
  data = static_cast<const char*>(view) + at.QuadPart;
  size = static_cast<std::size_t>(length.QuadPart - at.QuadPart);
  return true;
}

int ReadStandardInput(std::string& bytes) {
  const HANDLE file = Input();
  LARGE_INTEGER length{};
  if (IsDiskFile(file) && ::GetFileSizeEx(file, &length) && length.QuadPart > 0)
    bytes.reserve(bytes.size() + static_cast<std::size_t>(length.QuadPart));
  char chunk[1 << 16];
  for (;;) {
    DWORD n = 0;
    if (!::ReadFile(file, chunk, sizeof chunk, &n, nullptr)) {
      // A pipe whose writers have all gone is its end.
      const DWORD error = ::GetLastError();
      return error == ERROR_BROKEN_PIPE ? 0 : ErrnoOfSystemError(error);
    }
    if (n == 0) return 0;
    bytes.append(chunk, n);
  }
}
