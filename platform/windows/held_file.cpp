#include "platform/held_file.h"

#include <fcntl.h>

#include <cerrno>
#include <filesystem>

#include "platform/windows/file_handle.h"

namespace {

// A held handle has no access to the bytes (as O_PATH): it only names the
// file, so another process may still use, rename or remove it.
int Hold(const std::wstring& path, bool followLinks, bool folderOnly, UniqueFd& held) {
  UniqueFd fd;
  if (int error = OpenHandle(path, FILE_READ_ATTRIBUTES, OPEN_EXISTING, followLinks, _O_RDONLY, fd))
    return error;
  FileStatus status;
  if (folderOnly) {
    if (int error = StatusOf(fd.get(), status)) return error;
    if (status.type != FileType::kFolder) return ENOTDIR;
  }
  held = std::move(fd);
  return 0;
}

// How much of a full path (\\?\C:\..., \\?\UNC\server\share\...) is
// its volume's root, without the separator after it.
std::size_t RootLength(const std::wstring& path) {
  const std::wstring unc = L"\\\\?\\UNC\\";
  if (path.compare(0, unc.size(), unc) == 0) {
    const std::size_t server = path.find(L'\\', unc.size());
    const std::size_t share = server == std::wstring::npos ? server : path.find(L'\\', server + 1);
    return share == std::wstring::npos ? path.size() : share;
  }
  const std::size_t colon = path.find(L':');
  return colon == std::wstring::npos ? 0 : colon + 1;
}

int HoldUtf8(const std::string& path, bool folderOnly, UniqueFd& held) {
  std::wstring wide;
  if (!WidePath(path, wide)) return path.empty() ? ENOENT : EILSEQ;
  return Hold(wide, true, folderOnly, held);
}

}  // namespace

int HoldPath(const std::string& path, UniqueFd& held) {
  return HoldUtf8(path, false, held);
}

int HoldFolder(const std::string& path, UniqueFd& held) {
  // "/" is the current drive's root, as the C library reads it.
  return HoldUtf8(path == "/" ? "\\" : path, true, held);
}

int HoldEntry(int folder, const std::string& name, UniqueFd& held) {
  std::wstring path;
  if (int error = PathInFolder(folder, name, path)) return error;
  return Hold(path, false, false, held);
}

int HoldFolderThrough(int folder, const std::string& name, UniqueFd& held) {
  std::wstring path;
  if (int error = PathInFolder(folder, name, path)) return error;
  return Hold(path, true, true, held);
}

int HoldParent(int folder, UniqueFd& held) {
  // A \\?\ path is taken as it is, ".." included: the parent is cut from
  // the text. The root's parent is the root, as on POSIX.
  std::wstring path = PathOfHandle(HandleOf(folder));
  if (path.empty()) return EBADF;
  while (!path.empty() && path.back() == L'\\') path.pop_back();
  const std::size_t root = RootLength(path);
  const std::size_t slash = path.rfind(L'\\');
  if (path.size() > root && slash != std::wstring::npos && slash >= root) path.resize(slash);
  if (path.size() <= root) path += L'\\';
  return Hold(path, true, true, held);
}

// Reading a link's text needs the reparse data's layout from the driver
// kit: links are not followed by the walks here; they refuse them instead.
int ReadLinkText(int, std::string&) {
  return ELOOP;
}

int OpenFolderForReading(int folder, UniqueFd& readable) {
  const std::wstring path = PathOfHandle(HandleOf(folder));
  if (path.empty()) return EBADF;
  return OpenHandle(path, GENERIC_READ, OPEN_EXISTING, true, _O_RDONLY, readable);
}

int ListHeldFolder(int folder, std::vector<std::string>& names) {
  std::wstring path = PathOfHandle(HandleOf(folder));
  if (path.empty()) return EBADF;
  if (path.back() != L'\\') path += L'\\';
  WIN32_FIND_DATAW found;
  const HANDLE search = ::FindFirstFileExW((path + L"*").c_str(), FindExInfoBasic, &found,
                                           FindExSearchNameMatch, nullptr, 0);
  if (search == INVALID_HANDLE_VALUE) return LastFileError();
  do {
    const std::wstring name = found.cFileName;
    if (name != L"." && name != L"..") names.push_back(std::filesystem::path(name).u8string());
  } while (::FindNextFileW(search, &found));
  ::FindClose(search);
  return 0;
}

int OpenHeldForReading(int held, UniqueFd& readable) {
  // The very file the handle holds, opened again by the handle rather than
  // by its name; only a file on a disk (never a pipe or a device).
  const HANDLE handle = HandleOf(held);
  if (handle == INVALID_HANDLE_VALUE) return EBADF;
  if (::GetFileType(handle) != FILE_TYPE_DISK) return EINVAL;
  const HANDLE reopened =
      ::ReOpenFile(handle, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, 0);
  if (reopened == INVALID_HANDLE_VALUE) return LastFileError();
  UniqueFd fd;
  if (int error = AdoptHandle(reopened, _O_RDONLY, fd)) return error;
  // Wine reopens by the name the file had: another file now, refused.
  FileStatus wanted, got;
  if (int error = StatusOfHandle(handle, wanted)) return error;
  if (int error = StatusOf(fd.get(), got)) return error;
  if (got.identity != wanted.identity) return ENOENT;
  readable = std::move(fd);
  return 0;
}

// Whether the ACL lets this process change the folder is only known by
// trying: the write that follows says it.
bool MayChangeFolder(int) {
  return true;
}
