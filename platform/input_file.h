// Opening an input for reading without being led into what is not a file:
// a path is looked at before it is opened, so a FIFO, a device or a folder
// is never opened when a regular file is asked for; and an open file read
// where it stands, or named for a reader that opens by name.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>

#include "platform/descriptor.h"
#include "platform/file_status.h"

// The result of an open that found something other than a regular file;
// its status tells what.
constexpr int kNotRegularFile = -1;

// Opens path for reading, its links followed (the caller named it), when it
// is a regular file. Returns 0 with fd and status, kNotRegularFile with
// status, or an errno value.
int OpenRegularFile(const std::string& path, UniqueFd& fd, FileStatus& status);

// The same as a binary stream the caller closes with fclose.
int OpenRegularFileStream(const std::string& path, std::FILE*& stream);

// Opens path for reading whatever it is (a FIFO, a terminal, /dev/stdin),
// as a binary stream the caller closes with fclose: the open itself never
// waits for a writer; the reads wait as usual. Returns 0 or an errno value.
int OpenReadableStream(const std::string& path, std::FILE*& stream);

// fd as a binary stream the caller closes with fclose; fd gives its
// descriptor up to the stream. Returns 0 or an errno value (fd kept).
int StreamOfDescriptor(UniqueFd& fd, std::FILE*& stream);

// Reads up to bytes at offset without moving fd's position. Returns the
// bytes read, or -1.
long long ReadAt(int fd, void* buffer, std::size_t bytes, long long offset);

// A name that opens the very file fd reads, whatever its path leads to now,
// for readers that open by name (DCMTK, the loader); empty where the system
// has none.
std::string NameOfOpenFile(int fd);
