// A file's identity from what stat tells of it, for the POSIX services that
// have a struct stat at hand already.
#pragma once

#include <sys/stat.h>

#include "platform/file_identity.h"

inline FileIdentity IdentityOfStat(const struct stat& info) {
  return {static_cast<std::uint64_t>(info.st_dev), static_cast<std::uint64_t>(info.st_ino)};
}
