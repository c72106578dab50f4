#include "platform/windows/file_handle.h"

#include <fcntl.h>
#include <io.h>

#include <cerrno>
#include <vector>

#include "platform/windows/wide_text.h"

HANDLE HandleOf(int fd) {
  return fd < 0 ? INVALID_HANDLE_VALUE : reinterpret_cast<HANDLE>(::_get_osfhandle(fd));
}

int AdoptHandle(HANDLE handle, int flags, UniqueFd& fd) {
  fd.Reset(::_open_osfhandle(reinterpret_cast<intptr_t>(handle), flags | _O_BINARY));
  if (fd.valid()) return 0;
  ::CloseHandle(handle);
  return EMFILE;
}

int LastFileError() {
  const DWORD error = ::GetLastError();
  switch (error) {
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
      return EEXIST;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return ENOSPC;
    case ERROR_DIR_NOT_EMPTY:
      return ENOTEMPTY;
    case ERROR_NOT_SAME_DEVICE:
      return EXDEV;
    case ERROR_WRITE_PROTECT:
      return EROFS;
    case ERROR_CANT_RESOLVE_FILENAME:
      return ELOOP;
    case ERROR_NOT_SUPPORTED:
    case ERROR_INVALID_FUNCTION:
      return ENOSYS;
    default:
      return ErrnoOfSystemError(error);
  }
}

bool WidePath(const std::string& path, std::wstring& wide) {
  bool ok = true;
  wide = WideFromUtf8(path, ok);
  return ok && !path.empty();
}

std::wstring PathOfHandle(HANDLE handle) {
  std::vector<wchar_t> path(MAX_PATH + 1);
  for (;;) {
    const DWORD n =
        ::GetFinalPathNameByHandleW(handle, path.data(), static_cast<DWORD>(path.size()),
                                    FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (n == 0) return {};
    if (n < path.size()) return std::wstring(path.data(), n);
    path.resize(n + 1);
  }
}

int PathInFolder(int folder, const std::string& name, std::wstring& path) {
  std::wstring wide;
  if (!WidePath(name, wide) || name == "." || name == ".." ||
      wide.find_first_of(L"\\/:") != std::wstring::npos)
    return EINVAL;
  path = PathOfHandle(HandleOf(folder));
  if (path.empty()) return EBADF;
  if (path.back() != L'\\') path += L'\\';
  path += wide;
  return 0;
}

int OpenHandle(const std::wstring& path, DWORD access, DWORD disposition, bool followLinks,
               int descriptorFlags, UniqueFd& fd) {
  // Shared with every other opener, as a POSIX descriptor is: a held
  // folder stays renamable, an open input removable.
  const HANDLE handle = ::CreateFileW(
      path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
      disposition, FILE_FLAG_BACKUP_SEMANTICS | (followLinks ? 0 : FILE_FLAG_OPEN_REPARSE_POINT),
      nullptr);
  if (handle == INVALID_HANDLE_VALUE) return LastFileError();
  return AdoptHandle(handle, descriptorFlags, fd);
}

namespace {

// Only symbolic links and junctions are links; other reparse points (cloud
// placeholders, deduplicated files) are the files they stand for.
bool IsLink(HANDLE handle, DWORD attributes) {
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) return false;
  FILE_ATTRIBUTE_TAG_INFO tag{};
  if (!::GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &tag, sizeof tag)) return true;
  return tag.ReparseTag == IO_REPARSE_TAG_SYMLINK || tag.ReparseTag == IO_REPARSE_TAG_MOUNT_POINT;
}

}  // namespace

int StatusOfHandle(HANDLE handle, FileStatus& status) {
  if (handle == INVALID_HANDLE_VALUE) return EBADF;
  status = FileStatus();
  const DWORD kind = ::GetFileType(handle);
  if (kind == FILE_TYPE_PIPE || kind == FILE_TYPE_CHAR) {
    status.type = kind == FILE_TYPE_PIPE ? FileType::kFifo : FileType::kDevice;
    status.permissions = 0666;
    status.links = 1;
    return 0;
  }
  BY_HANDLE_FILE_INFORMATION info;
  if (!::GetFileInformationByHandle(handle, &info)) return LastFileError();
  const bool folder = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  status.type = IsLink(handle, info.dwFileAttributes) ? FileType::kLink
                : folder                              ? FileType::kFolder
                                                      : FileType::kRegular;
  status.size =
      folder
          ? 0
          : static_cast<long long>((std::uint64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow);
  status.identity = {info.dwVolumeSerialNumber,
                     (std::uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow};
  // Access is the ACL's business here: only the read-only attribute is a
  // bit of its own. Nobody else writes the folder, as far as bits tell.
  const bool readOnly = (info.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0;
  status.permissions = status.type == FileType::kLink ? 0777
                       : folder                       ? 0755
                       : readOnly                     ? 0444
                                                      : 0644;
  status.links = info.nNumberOfLinks;
  return 0;
}
