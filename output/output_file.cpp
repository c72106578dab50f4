#include "output/output_file.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <new>
#include <thread>

#include "output/output_path.h"
#include "platform/file_attributes.h"
#include "platform/held_file.h"
#include "platform/temp_file.h"
#include "platform/write_open.h"

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
std::string Refusal(const OutputPlace& place, const FileStatus& found,
                    const ProtectedFile* notThis) {
  if (found.type == FileType::kFolder) return std::strerror(EISDIR);
  if (found.type == FileType::kLink)
    return Quoted(place.name) + " became a symbolic link while it was checked; not followed";
  std::string shared = SharedFolderRefusal(place.folderInfo, found, place.name);
  if (!shared.empty()) return shared;
  if (notThis != nullptr && found.identity == notThis->identity)
    return "it is the input file " + notThis->name + "; not overwritten";
  // Root may write anything: the mode alone says the file is not for writing.
  if ((found.permissions & kAnyoneMayWriteBits) == 0)
    return Quoted(place.name) + " has no write permission; not overwritten";
  return {};
}

int RunStep(const OutputOptions& options, OutputStep step, const std::function<int()>& run) {
  return options.runStep ? options.runStep(step, run) : run();
}

int SyncFile(const OutputOptions& options, int fd) {
  return RunStep(options, OutputStep::kFileSync, [fd] { return SyncToDisk(fd); });
}

// Writes the bytes to fd through a stream that takes it over, syncs them to
// the disk when sync, and closes it. Returns 0 or an errno value.
int WriteThrough(int fd, const OutputBytes& bytes, bool sync, const OutputOptions& options) {
  // The buffer outlives the stream: fclose below is its last use.
  std::unique_ptr<char[]> buffer;
  UniqueFd owned(fd);  // until a stream takes it
  std::FILE* out = nullptr;
  if (options.openStream) {
    out = options.openStream(fd);
  } else if ((out = StreamOverDescriptor(fd, "wb")) != nullptr) {
    buffer.reset(new (std::nothrow) char[kStreamBufferBytes]);
    if (buffer) std::setvbuf(out, buffer.get(), _IOFBF, kStreamBufferBytes);
  }
  if (out == nullptr) return errno ? errno : EIO;
  owned.Release();
  errno = 0;
  bool ok = bytes(out) && std::fflush(out) == 0 && !std::ferror(out);
  int error = ok ? 0 : (errno ? errno : EIO);
  if (ok && sync) error = SyncFile(options, fd);
  if (std::fclose(out) != 0 && error == 0) error = errno ? errno : EIO;
  return error;
}

// Takes the exclusive lock of fd's file, waiting for another writer at
// most kLockWaitMilliseconds. Returns 0, or EWOULDBLOCK when the wait ran
// out. A file system without locks is written unlocked.
int LockForWriting(int fd) {
  for (int waited = 0;;) {
    if (TryLockExclusive(fd) == 0) return 0;
    if (waited >= kLockWaitMilliseconds) return EWOULDBLOCK;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    waited += 10;
  }
}

// Writes through fd, which this takes over: a regular file locked, emptied
// and synced, anything else as it comes. Owner, mode and links stay.
int WriteInPlace(int fd, bool regular, const OutputPlace& place, const OutputBytes& bytes,
                 const OutputOptions& options, std::string& error) {
  if (regular) {
    UniqueFd owned(fd);  // until the write takes it
    int failure = LockForWriting(fd);
    if (failure == 0) failure = TruncateToEmpty(fd);
    if (failure != 0) {
      if (failure == EWOULDBLOCK)
        return Fail(error, "another process has held " + Quoted(place.name) + " locked for " +
                               std::to_string(kLockWaitMilliseconds / 1000) + " s");
      return FailErrno(error, failure);
    }
    owned.Release();
  }
  int written = WriteThrough(fd, bytes, regular, options);
  return written == 0 ? kOutputWritten : FailErrno(error, written);
}

// Writes a complete new file beside the output, gives it what the replaced
// file had (replaced, a descriptor of it) or what a new file gets there
// (replaced is null), and renames it over the output's name, so that a
// reader sees the old bytes or the new, never a mixture, and a failure
// leaves the old file. kKeepInPlace, replaced still open, when the
// attributes cannot all be given; otherwise replaced is closed before the
// rename, since Windows renames nothing over a file a handle holds open.
int Replace(const OutputPlace& place, UniqueFd* replaced, const OutputBytes& bytes,
            const OutputOptions& options, std::string& error) {
  const int folder = place.folder.get();
  UniqueFd newFileModel;
  int model = replaced != nullptr ? replaced->get() : -1;
  if (model < 0) {
    if (int failed = OpenNewFileModel(folder, place.name, options.unnamedTempFiles, newFileModel))
      return FailErrno(error, failed);
    model = newFileModel.get();
  }
  FileStatus modelInfo;
  if (int failed = StatusOf(model, modelInfo)) return FailErrno(error, failed);
  TempFile temp;
  if (int created = temp.Create(folder, place.name, options.unnamedTempFiles))
    return FailErrno(error, created);
  UniqueFd stream;  // temp.fd() stays open to name the file
  if (int failed = DuplicateDescriptor(temp.fd(), stream)) return FailErrno(error, failed);
  if (int written = WriteThrough(stream.Release(), bytes, false, options))
    return FailErrno(error, written);
  // The mode and ACL come after the bytes: until the rename only the caller
  // may open the file.
  if (CopyFileAttributes(model, modelInfo, temp.fd()) != 0) return kKeepInPlace;
  if (int synced = SyncFile(options, temp.fd())) return FailErrno(error, synced);
  if (replaced != nullptr) replaced->Reset();
  if (int committed = RunStep(options, OutputStep::kRename, [&temp] { return temp.Commit(); }))
    return FailErrno(error, committed);
  // Some file systems cannot sync a folder; the rename stands either way.
  RunStep(options, OutputStep::kFolderSync, [folder] { return SyncToDisk(folder); });
  return kOutputWritten;
}

int WriteNew(const OutputPlace& place, const OutputBytes& bytes, const OutputOptions& options,
             std::string& error) {
  int result = Replace(place, nullptr, bytes, options, error);
  if (result != kKeepInPlace) return result;
  UniqueFd fd;
  if (int failed = CreateForWriting(place.folder.get(), place.name, fd))
    return FailErrno(error, failed);
  return WriteInPlace(fd.Release(), true, place, bytes, options, error);
}

// A regular file of the caller's with one link, in a folder the caller may
// write: replacing it changes nothing but the bytes.
bool MayReplace(const OutputPlace& place, const FileStatus& opened) {
  return opened.type == FileType::kRegular && opened.links == 1 &&
         opened.owner == EffectiveUser() && MayChangeFolder(place.folder.get());
}

}  // namespace

int WriteOutputFile(const char* path, const OutputBytes& bytes, const ProtectedFile* notThis,
                    std::string& error, const OutputOptions& options) {
  error.clear();
  WriteSignals signals;
  OutputPlace place;
  if (FindOutputPlace(path, place, error) != 0) return kOutputNotWritten;
  const int folder = place.folder.get();
  FileStatus found;
  if (!place.kernelLink) {
    if (int failed = StatusOfEntry(folder, place.name, found))
      return failed == ENOENT ? WriteNew(place, bytes, options, error) : FailErrno(error, failed);
    std::string refusal = Refusal(place, found, notThis);
    if (!refusal.empty()) return Fail(error, refusal);
  }
  // Opening neither creates, truncates, follows a link, nor waits for a
  // FIFO's reader.
  UniqueFd fd;
  if (int failed = OpenForWritingInPlace(folder, place.name, place.kernelLink, fd)) {
    if (failed == ENXIO && (place.kernelLink || found.type == FileType::kFifo))
      return Fail(error, "no process reads the FIFO " + Quoted(place.name));
    return FailErrno(error, failed);
  }
  FileStatus opened;
  if (int failed = StatusOf(fd.get(), opened)) return FailErrno(error, failed);
  std::string refusal = Refusal(place, opened, notThis);
  if (!refusal.empty()) return Fail(error, refusal);
  if (!place.kernelLink && MayReplace(place, opened)) {
    int result = Replace(place, &fd, bytes, options, error);
    if (result != kKeepInPlace) return result;
  }
  return WriteInPlace(fd.Release(), opened.type == FileType::kRegular, place, bytes, options,
                      error);
}
