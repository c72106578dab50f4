// The new file that takes an output's place, and the signals around it.
//
// It is written beside the output, in the same folder descriptor: without a
// name (O_TMPFILE) where the kernel can give it one later through
// /proc/self/fd, otherwise under a fresh random name created with O_EXCL and
// mode 0600 (always so on Windows, where the name goes once the file is
// closed). An interrupt, termination or hang-up removes that name before
// the process ends; an unnamed file needs no cleaning up.
#pragma once

#include <string>

#include "platform/descriptor.h"

class TempFile {
 public:
  TempFile() = default;
  ~TempFile();  // removes the name, if any, and closes the file unless committed
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;

  // Creates an empty file with mode 0600 in folder, for output name,
  // without a name when mayBeUnnamed and the kernel allows. Returns 0 or an
  // errno value.
  int Create(int folder, const std::string& outputName, bool mayBeUnnamed);
  // The same under a random name only, with the given creation mode (POSIX
  // permission bits, less the umask).
  int CreateNamed(int folder, const std::string& outputName, unsigned mode);
  int fd() const { return fd_; }
  // Gives the file outputName in one rename (naming it first when it has no
  // name), replacing what had that name. Returns 0 or an errno value; the
  // file is then closed.
  int Commit();
  // Removes the name, if any, and hands over the descriptor.
  int Release();

 private:
  int fd_ = -1;
  int folder_ = -1;
  std::string outputName_;
  bool unnamed_ = false;
};

// Fills model with a descriptor of an empty file in folder that has exactly
// the mode and access ACL that open(..., 0666) gives a new file there (the
// umask, or the folder's default ACL), and no name (for the moment it
// takes, when mayBeUnnamed is false or the kernel cannot). Returns 0 or an
// errno value.
int OpenNewFileModel(int folder, const std::string& outputName, bool mayBeUnnamed, UniqueFd& model);

// While it lives, a full disk or a closed pipe fail a write with an error
// (no SIGXFSZ or SIGPIPE ends the process), and an interrupt, termination
// or hang-up removes the temporary file's name before the process ends.
class WriteSignals {
 public:
  WriteSignals();
  ~WriteSignals();
  WriteSignals(const WriteSignals&) = delete;
  WriteSignals& operator=(const WriteSignals&) = delete;

 private:
  // The actions the signals had before, in the system's own form.
  alignas(16) unsigned char saved_[1024];
};
