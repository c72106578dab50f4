// Opening a name in a held folder for writing, as the safe write and the
// log's safe append need it: never following a link (but a link of the
// kernel's, /dev/stdout, when the caller asks), never waiting for a FIFO's
// reader (ENXIO instead), never making a terminal the process's
// controlling one. The reads and writes afterwards wait as usual. Every
// result is 0 or an errno value.
#pragma once

#include <string>

#include "platform/descriptor.h"

// The name as it is: neither created nor truncated.
int OpenForWritingInPlace(int folder, const std::string& name, bool kernelLink, UniqueFd& fd);

// A new file of that name, created exclusively with mode 0666 less the
// umask (EEXIST when the name is taken, by a link too).
int CreateForWriting(int folder, const std::string& name, UniqueFd& fd);

// The name for appending, created with mode 0666 less the umask when it is
// absent.
int OpenForAppending(int folder, const std::string& name, bool kernelLink, UniqueFd& fd);

// Takes the exclusive lock of fd's file without waiting: 0, or EWOULDBLOCK
// while another holds it. A file system without locks counts as locked.
int TryLockExclusive(int fd);

// Empties the file fd writes.
int TruncateToEmpty(int fd);
