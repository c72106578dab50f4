// What a replacing file takes over from the file it replaces (or from a
// model of a new file): everything but the bytes, owner and times.
#pragma once

#include "platform/file_status.h"

// Gives file the group, the mode less setuid and setgid, and exactly the
// extended attributes of model (modelStatus its status): the ACL
// (system.posix_acl_access) among them; those it lacks are added, those
// model has not are removed. The mode is set last. Returns 0, or the errno
// value of the first attribute that cannot be given.
int CopyFileAttributes(int model, const FileStatus& modelStatus, int file);
