// How the tools write an output file: which existing files are replaced in
// one rename, which are written in place, and which are refused. The rules,
// and the threats they answer, are in docs/RELIABILITY.md (Overwrite rules).
#pragma once

#include <cstdio>
#include <functional>
#include <string>

#include "platform/file_identity.h"

constexpr int kOutputWritten = 0;
constexpr int kOutputNotWritten = 1;

// Writes the bytes to out; false when a write fails (errno tells why).
using OutputBytes = std::function<bool(std::FILE* out)>;

// Turns the descriptor of the file being written into a stream that owns it.
using OutputStreamOpener = std::function<std::FILE*(int fd)>;

// The steps of a write that fail on their own, apart from the bytes.
enum class OutputStep {
  kFileSync,    // fsync of the written file
  kRename,      // the new file takes the output's name
  kFolderSync,  // fsync of the folder, so that the rename survives a crash
};

// Runs one step: returns 0 or an errno value. run is the step itself.
using OutputStepRunner = std::function<int(OutputStep step, const std::function<int()>& run)>;

// How a write is carried out; what a caller (or a test) may choose. The
// defaults are what the tools use.
struct OutputOptions {
  OutputStreamOpener openStream;  // none: fdopen with a 1 MiB buffer
  bool unnamedTempFiles = true;   // false: temporaries always get a name at once
  OutputStepRunner runStep;       // none: each step runs as it is
};

// A file that the output must not be, such as the input being read.
struct ProtectedFile {
  FileIdentity identity;
  std::string name;  // for the message
};

// Writes path under the overwrite rules, everything after the checks
// through one descriptor of the output's folder. An output that is absent,
// or a regular file of the caller's with one link in a folder the caller may
// write, is replaced in one rename by a complete new file that has what
// open(..., 0666) would give a new file there, or the replaced file's group,
// mode (less setuid and setgid), ACL and extended attributes; where those
// cannot all be given, it is written in place instead. Anything else the
// rules allow is written in place, under flock(LOCK_EX) when it is a regular
// file. Returns kOutputWritten, or kOutputNotWritten with the reason in
// error.
int WriteOutputFile(const char* path, const OutputBytes& bytes, const ProtectedFile* notThis,
                    std::string& error, const OutputOptions& options = {});
