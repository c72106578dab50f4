// A file's status from what stat tells of it, for the POSIX services that
// have a struct stat at hand.
#pragma once

#include <sys/stat.h>

#include "platform/file_status.h"
#include "platform/posix/stat_identity.h"

inline FileType TypeOfMode(mode_t mode) {
  if (S_ISREG(mode)) return FileType::kRegular;
  if (S_ISDIR(mode)) return FileType::kFolder;
  if (S_ISLNK(mode)) return FileType::kLink;
  if (S_ISFIFO(mode)) return FileType::kFifo;
  if (S_ISCHR(mode) || S_ISBLK(mode)) return FileType::kDevice;
  if (S_ISSOCK(mode)) return FileType::kSocket;
  return FileType::kOther;
}

inline FileStatus StatusOfStat(const struct stat& info) {
  FileStatus status;
  status.type = TypeOfMode(info.st_mode);
  status.size = static_cast<long long>(info.st_size);
  status.identity = IdentityOfStat(info);
  status.permissions = static_cast<unsigned>(info.st_mode & 07777);
  status.links = static_cast<std::uint64_t>(info.st_nlink);
  status.owner = static_cast<std::uint32_t>(info.st_uid);
  status.group = static_cast<std::uint32_t>(info.st_gid);
  return status;
}
