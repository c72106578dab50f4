#include "platform/placeholder_file.h"

#include <cerrno>

#include "platform/windows/file_handle.h"

int CreatePlaceholder(const std::string& path, int /*permissions: the folder's access*/) {
  std::wstring wide;
  if (!WidePath(path, wide)) return path.empty() ? ENOENT : EILSEQ;
  // CREATE_NEW fails on any name that is there, a link's included.
  UniqueFd fd;
  return OpenHandle(wide, GENERIC_WRITE, CREATE_NEW, false, 0, fd);
}

long long RegularFileSize(const std::string& path) {
  FileStatus status;
  if (StatusOfPath(path, false, status) != 0 || status.type != FileType::kRegular) return -1;
  return status.size;
}

bool NameTaken(const std::string& path) {
  std::wstring wide;
  return WidePath(path, wide) && ::GetFileAttributesW(wide.c_str()) != INVALID_FILE_ATTRIBUTES;
}

int RemoveName(const std::string& path) {
  std::wstring wide;
  if (!WidePath(path, wide)) return path.empty() ? ENOENT : EILSEQ;
  return ::DeleteFileW(wide.c_str()) ? 0 : LastFileError();
}
