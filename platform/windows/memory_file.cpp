#include "platform/windows/memory_file.h"

#include <cwchar>
#include <vector>

bool IsMemoryFile(HANDLE file) {
  // The name from the volume's root; only its last part matters.
  std::vector<char> room(sizeof(FILE_NAME_INFO) + 2 * MAX_PATH * sizeof(wchar_t));
  auto* info = reinterpret_cast<FILE_NAME_INFO*>(room.data());
  if (!::GetFileInformationByHandleEx(file, FileNameInfo, info, static_cast<DWORD>(room.size())))
    return false;
  const std::wstring name(info->FileName, info->FileNameLength / sizeof(wchar_t));
  const std::size_t slash = name.find_last_of(L"\\/");
  const std::wstring last = slash == std::wstring::npos ? name : name.substr(slash + 1);
  return last.compare(0, std::wcslen(kMemoryFilePrefix), kMemoryFilePrefix) == 0;
}
