// A file's identity from what stat tells of it, for the POSIX code that has
// a struct stat at hand already (the safe write in output/, until it moves
// behind the seam).
#pragma once

#include <sys/stat.h>

#include "platform/file_identity.h"

inline FileIdentity IdentityOfStat(const struct stat& info) {
  return {static_cast<std::uint64_t>(info.st_dev), static_cast<std::uint64_t>(info.st_ino)};
}
