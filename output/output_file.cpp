#include "output/output_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <memory>
#include <new>

#include "output/file_attributes.h"
#include "output/output_path.h"
#include "output/temp_file.h"
#include "platform/posix/stat_identity.h"

namespace {

// Large writes: with the default 4 KiB buffer every 8 KiB GSD frame costs
// two system calls.
constexpr std::size_t kStreamBufferBytes = std::size_t{1} << 20;

// Replace's answer when the new file cannot be given everything the old
// one had: the output is then written in place.
constexpr int kKeepInPlace = -1;
// How long an in-place write waits for another writer's lock.
constexpr int kLockWaitMilliseconds = 60000;

int Fail(std::string& error, const std::string& why) {
  error = why;
  return kOutputNotWritten;
}

int FailErrno(std::string& error, int code) {
  return Fail(error, code ? std::strerror(code) : "write failed");
}

std::string Quoted(const std::string& name) {
  return "\"" + name + "\"";
}

// Why the existing output found (before or after it is opened) must be left
// alone; empty when it may be written.
std::string Refusal(const OutputPlace& place, const struct stat& found,
                    const ProtectedFile* notThis) {
  if (S_ISDIR(found.st_mode)) return std::strerror(EISDIR);
  if (S_ISLNK(found.st_mode))
    return Quoted(place.name) + " became a symbolic link while it was checked; not followed";
  std::string shared = SharedFolderRefusal(place.folderInfo, found, place.name);
  if (!shared.empty()) return shared;
  if (notThis != nullptr && IdentityOfStat(found) == notThis->identity)
    return "it is the input file " + notThis->name + "; not overwritten";
  // Root may write anything: the mode alone says the file is not for writing.
  if ((found.st_mode & 0222) == 0)
    return Quoted(place.name) + " has no write permission; not overwritten";
  return {};
}

int RunStep(const OutputOptions& options, OutputStep step, const std::function<int()>& run) {
  return options.runStep ? options.runStep(step, run) : run();
}

int SyncFile(const OutputOptions& options, int fd) {
  return RunStep(options, OutputStep::kFileSync, [fd] { return ::fsync(fd) == 0 ? 0 : errno; });
}

// Writes the bytes to fd through a stream that takes it over, syncs them to
// the disk when sync, and closes it. Returns 0 or an errno value.
int WriteThrough(int fd, const OutputBytes& bytes, bool sync, const OutputOptions& options) {
  // The buffer outlives the stream: fclose below is its last use.
  std::unique_ptr<char[]> buffer;
  std::FILE* out = nullptr;
  if (options.openStream) {
    out = options.openStream(fd);
  } else if ((out = ::fdopen(fd, "wb")) != nullptr) {
    buffer.reset(new (std::nothrow) char[kStreamBufferBytes]);
    if (buffer) std::setvbuf(out, buffer.get(), _IOFBF, kStreamBufferBytes);
  }
  if (out == nullptr) {
    int error = errno ? errno : EIO;
    ::close(fd);
    return error;
  }
  errno = 0;
  bool ok = bytes(out) && std::fflush(out) == 0 && !std::ferror(out);
  int error = ok ? 0 : (errno ? errno : EIO);
  if (ok && sync) error = SyncFile(options, fd);
  if (std::fclose(out) != 0 && error == 0) error = errno ? errno : EIO;
  return error;
}

// Takes flock(LOCK_EX) on fd, waiting for another writer at most
// kLockWaitMilliseconds. Returns 0, or EWOULDBLOCK when the wait ran out.
int LockForWriting(int fd) {
  for (int waited = 0;;) {
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return 0;
    if (errno == EINTR) continue;
    if (errno != EWOULDBLOCK) return 0;  // a file system without locks: written unlocked
    if (waited >= kLockWaitMilliseconds) return EWOULDBLOCK;
    const struct timespec pause = {0, 10 * 1000 * 1000};
    ::nanosleep(&pause, nullptr);
    waited += 10;
  }
}

// Writes through fd, which this takes over: a regular file locked, emptied
// and synced, anything else as it comes. Owner, mode and links stay.
int WriteInPlace(int fd, bool regular, const OutputPlace& place, const OutputBytes& bytes,
                 const OutputOptions& options, std::string& error) {
  if (regular) {
    int failure = LockForWriting(fd);
    if (failure == 0 && ::ftruncate(fd, 0) != 0) failure = errno;
    if (failure != 0) {
      ::close(fd);
      if (failure == EWOULDBLOCK)
        return Fail(error, "another process has held " + Quoted(place.name) + " locked for " +
                               std::to_string(kLockWaitMilliseconds / 1000) + " s");
      return FailErrno(error, failure);
    }
  }
  int written = WriteThrough(fd, bytes, regular, options);
  return written == 0 ? kOutputWritten : FailErrno(error, written);
}

// Writes a complete new file beside the output, gives it what the replaced
// file had (replaced, a descriptor of it) or what a new file gets there
// (replaced is -1), and renames it over the output's name, so that a reader
// sees the old bytes or the new, never a mixture, and a failure leaves the
// old file. kKeepInPlace when the attributes cannot all be given.
int Replace(const OutputPlace& place, int replaced, const OutputBytes& bytes,
            const OutputOptions& options, std::string& error) {
  const int folder = place.folder.get();
  UniqueFd newFileModel;
  int model = replaced;
  if (model < 0) {
    newFileModel.Reset(OpenNewFileModel(folder, place.name, options.unnamedTempFiles));
    if (!newFileModel.valid()) return FailErrno(error, errno);
    model = newFileModel.get();
  }
  struct stat modelInfo;
  if (::fstat(model, &modelInfo) != 0) return FailErrno(error, errno);
  TempFile temp;
  if (int created = temp.Create(folder, place.name, options.unnamedTempFiles))
    return FailErrno(error, created);
  int stream = ::fcntl(temp.fd(), F_DUPFD_CLOEXEC, 0);  // temp.fd() stays open to name the file
  if (stream < 0) return FailErrno(error, errno);
  if (int written = WriteThrough(stream, bytes, false, options)) return FailErrno(error, written);
  // The mode and ACL come after the bytes: until the rename only the caller
  // may open the file.
  if (CopyFileAttributes(model, modelInfo, temp.fd()) != 0) return kKeepInPlace;
  if (int synced = SyncFile(options, temp.fd())) return FailErrno(error, synced);
  if (int committed = RunStep(options, OutputStep::kRename, [&temp] { return temp.Commit(); }))
    return FailErrno(error, committed);
  // Some file systems cannot sync a folder; the rename stands either way.
  RunStep(options, OutputStep::kFolderSync, [folder] { return ::fsync(folder) == 0 ? 0 : errno; });
  return kOutputWritten;
}

int WriteNew(const OutputPlace& place, const OutputBytes& bytes, const OutputOptions& options,
             std::string& error) {
  int result = Replace(place, -1, bytes, options, error);
  if (result != kKeepInPlace) return result;
  int fd = ::openat(place.folder.get(), place.name.c_str(),
                    O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, 0666);
  if (fd < 0) return FailErrno(error, errno);
  return WriteInPlace(fd, true, place, bytes, options, error);
}

// A regular file of the caller's with one link, in a folder the caller may
// write: replacing it changes nothing but the bytes.
bool MayReplace(const OutputPlace& place, const struct stat& opened) {
  return S_ISREG(opened.st_mode) && opened.st_nlink == 1 && opened.st_uid == ::geteuid() &&
         ::faccessat(place.folder.get(), ".", W_OK | X_OK, AT_EACCESS) == 0;
}

}  // namespace

int WriteOutputFile(const char* path, const OutputBytes& bytes, const ProtectedFile* notThis,
                    std::string& error, const OutputOptions& options) {
  error.clear();
  WriteSignals signals;
  OutputPlace place;
  if (FindOutputPlace(path, place, error) != 0) return kOutputNotWritten;
  const int folder = place.folder.get();
  struct stat found {};
  if (!place.kernelLink) {
    if (::fstatat(folder, place.name.c_str(), &found, AT_SYMLINK_NOFOLLOW) != 0)
      return errno == ENOENT ? WriteNew(place, bytes, options, error) : FailErrno(error, errno);
    std::string refusal = Refusal(place, found, notThis);
    if (!refusal.empty()) return Fail(error, refusal);
  }
  // Opening neither creates, truncates, follows a link, nor waits for a
  // FIFO's reader.
  UniqueFd fd(
      ::openat(folder, place.name.c_str(),
               O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | (place.kernelLink ? 0 : O_NOFOLLOW)));
  if (!fd.valid()) {
    if (errno == ENXIO && (place.kernelLink || S_ISFIFO(found.st_mode)))
      return Fail(error, "no process reads the FIFO " + Quoted(place.name));
    return FailErrno(error, errno);
  }
  struct stat opened;
  if (::fstat(fd.get(), &opened) != 0) return FailErrno(error, errno);
  std::string refusal = Refusal(place, opened, notThis);
  if (!refusal.empty()) return Fail(error, refusal);
  int flags = ::fcntl(fd.get(), F_GETFL);
  if (flags < 0 || ::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK) != 0)
    return FailErrno(error, errno);
  if (!place.kernelLink && MayReplace(place, opened)) {
    int result = Replace(place, fd.get(), bytes, options, error);
    if (result != kKeepInPlace) return result;
  }
  return WriteInPlace(fd.Release(), S_ISREG(opened.st_mode), place, bytes, options, error);
}
