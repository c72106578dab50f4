// Files by descriptor, read and written with the system's own calls, one
// call each: every failure (a full disk first of all) shows at the call
// that meets it, nothing is buffered. Where a descriptor or a count is
// returned a failure is -1 with errno set; elsewhere the result is 0 or the
// system's error number.
#pragma once

#include <cstddef>
#include <string>

enum class NewFile {
  kExclusive,  // fails with EEXIST when the name is taken
  kTruncate,   // an existing file is emptied
};

// Opened for writing, created with permissions (less the umask) when
// missing; never through a symbolic link, closed across exec.
int OpenDescriptorForWriting(const std::string& path, NewFile how, unsigned permissions);
// Opened for reading; never through a symbolic link, closed across exec.
int OpenDescriptorForReading(const std::string& path);

// One read: the bytes read, 0 at the end.
long long ReadDescriptor(int fd, void* buffer, std::size_t bytes);
// One write: the bytes written.
long long WriteDescriptor(int fd, const void* bytes, std::size_t size);
// Every byte, a write interrupted by a signal taken up again; false with
// errno set (0 when a write took nothing).
bool WriteWholeDescriptor(int fd, const char* bytes, std::size_t size);

int CloseDescriptor(int fd);
