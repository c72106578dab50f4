#include "platform/file_identity.h"

#include "platform/posix/stat_identity.h"

std::optional<FileIdentity> IdentityOfPath(const std::filesystem::path& path) {
  struct stat info;
  if (::stat(path.c_str(), &info) != 0) return std::nullopt;
  return IdentityOfStat(info);
}

std::optional<FileIdentity> IdentityOfStream(std::FILE* stream) {
  struct stat info;
  const int fd = ::fileno(stream);
  if (fd < 0 || ::fstat(fd, &info) != 0) return std::nullopt;
  return IdentityOfStat(info);
}

bool SameFile(const std::filesystem::path& a, const std::filesystem::path& b) {
  const std::optional<FileIdentity> first = IdentityOfPath(a);
  const std::optional<FileIdentity> second = first ? IdentityOfPath(b) : std::nullopt;
  return second && *first == *second;
}
