#include "platform/file_identity.h"

#include <io.h>
#include <windows.h>

#include "platform/windows/memory_file.h"

namespace {

std::optional<FileIdentity> IdentityOfHandle(HANDLE file) {
  BY_HANDLE_FILE_INFORMATION info;
  if (file == INVALID_HANDLE_VALUE || !::GetFileInformationByHandle(file, &info))
    return std::nullopt;
  return FileIdentity{info.dwVolumeSerialNumber,
                      (std::uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow};
}

}  // namespace

std::optional<FileIdentity> IdentityOfPath(const std::filesystem::path& path) {
  // Opened for no access at all, so a file another process holds without
  // sharing still tells who it is; a folder needs the backup-semantics flag
  // to be opened. Reparse points are followed, as stat follows links.
  const HANDLE file =
      ::CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE) return std::nullopt;
  const std::optional<FileIdentity> identity = IdentityOfHandle(file);
  ::CloseHandle(file);
  return identity;
}

std::optional<FileIdentity> IdentityOfStream(std::FILE* stream) {
  const int fd = ::_fileno(stream);
  if (fd < 0) return std::nullopt;
  const HANDLE file = reinterpret_cast<HANDLE>(::_get_osfhandle(fd));
  // A memory stream is a temporary file here: it has an identity, but not
  // one of a file that any name reaches.
  if (file == INVALID_HANDLE_VALUE || IsMemoryFile(file)) return std::nullopt;
  return IdentityOfHandle(file);
}

bool SameFile(const std::filesystem::path& a, const std::filesystem::path& b) {
  const std::optional<FileIdentity> first = IdentityOfPath(a);
  const std::optional<FileIdentity> second = first ? IdentityOfPath(b) : std::nullopt;
  return second && *first == *second;
}
