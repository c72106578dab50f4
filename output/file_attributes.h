// What a replacing file takes over from the file it replaces (or from a
// model of a new file): everything but the bytes, owner and times.
#pragma once

#include <sys/stat.h>

// Gives file the group, the mode less setuid and setgid, and exactly the
// extended attributes of model (system.posix_acl_access, the ACL, among
// them): those it lacks are added, those model has not are removed. The mode
// is set last. Returns 0, or the errno value of the first attribute that
// cannot be given.
int CopyFileAttributes(int model, const struct stat& modelInfo, int file);
