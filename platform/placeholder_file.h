// An empty file that holds a name against every other writer until the
// converter replaces it: made without following a link, looked at without
// following one, and removed when it stayed empty.
#pragma once

#include <string>

// Creates path empty, exclusively (EEXIST when the name is taken, by a
// dangling link too), with mode 0666 less the umask. Returns 0 or an errno
// value.
// permissions >= 0: the file gets exactly those, whatever the umask; a
// file that cannot be given them is removed again.
int CreatePlaceholder(const std::string& path, int permissions = -1);

// The size of the regular file at path (a link is not followed), -1 when it
// is absent or not one: whether the converter filled a reserved name (an
// empty one is the reservation alone).
long long RegularFileSize(const std::string& path);

// Whether path names anything at all, a dangling link included.
bool NameTaken(const std::string& path);

// Removes the name path (a link itself, never what it leads to). Returns 0
// or an errno value.
int RemoveName(const std::string& path);
