#include "gsd_writer.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <vector>

#include "gsd_format.h"
#include "gsd_stream.h"
#include "sanitize_token.h"

std::string LastGsdWriteError;

GsdStreamOpener OpenGsdStream = [](int fd) { return ::fdopen(fd, "wb"); };
bool GsdUnnamedTempFiles = true;

namespace {

// printf's "%W.Pf" without the process locale: the separator is always ".".
std::string FixedPoint(double value, int width, int precision) {
  char buffer[400];
  auto result =
      std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, precision);
  std::string text(buffer, result.ptr);
  if (static_cast<int>(text.size()) < width)
    text.insert(0, static_cast<std::size_t>(width) - text.size(), ' ');
  return text;
}

std::string Sanitized(const char* text) {
  std::vector<char> buffer(std::strlen(text) + 1);
  SanitizeToken(text, buffer.data());
  return buffer.data();
}

void AddLine(std::string& header, const char* key, const std::string& value) {
  header += key;
  header += " = ";
  // The header is text with CR LF line ends: a line feed inside a value (a
  // date or time is written as stored) is one too.
  for (char c : value) {
    if (c == '\n') header += '\r';
    header += c;
  }
  header += ';';
  header += kGsdLineEnd;
}

bool Fail(const std::string& what) {
  LastGsdWriteError = what;
  return false;
}

bool FailErrno(int error) {
  return Fail(error ? std::strerror(error) : "write failed");
}

std::string Directory(const std::string& path) {
  std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string BaseName(const std::string& path) {
  std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The signals that end a process and that the writer answers by removing
// its temporary file first.
constexpr int kEndingSignals[] = {SIGINT, SIGTERM, SIGHUP};

// The temporary file's name while it has one, for the signal handler below.
char TempName[PATH_MAX + 64];
volatile std::sig_atomic_t TempNamed = 0;

extern "C" void RemoveTempAndEnd(int signal) {
  if (TempNamed) ::unlink(TempName);
  struct sigaction fallback {};
  fallback.sa_handler = SIG_DFL;
  ::sigaction(signal, &fallback, nullptr);
  ::raise(signal);  // delivered, with its default action, when the handler returns
}

// While it lives, a full disk or a closed pipe fail the write with an error
// (no SIGXFSZ or SIGPIPE ends the process), and an interrupt, termination
// or hang-up removes the temporary file before the process ends.
class WriteSignals {
 public:
  WriteSignals() {
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    for (std::size_t i = 0; i < std::size(kIgnored); ++i)
      ::sigaction(kIgnored[i], &ignore, &ignored_[i]);
    struct sigaction cleanup {};
    cleanup.sa_handler = RemoveTempAndEnd;
    sigfillset(&cleanup.sa_mask);
    for (std::size_t i = 0; i < std::size(kEndingSignals); ++i) {
      ::sigaction(kEndingSignals[i], nullptr, &ending_[i]);
      if (ending_[i].sa_handler != SIG_IGN) ::sigaction(kEndingSignals[i], &cleanup, nullptr);
    }
  }
  ~WriteSignals() {
    for (std::size_t i = 0; i < std::size(kIgnored); ++i)
      ::sigaction(kIgnored[i], &ignored_[i], nullptr);
    for (std::size_t i = 0; i < std::size(kEndingSignals); ++i)
      ::sigaction(kEndingSignals[i], &ending_[i], nullptr);
  }
  WriteSignals(const WriteSignals&) = delete;
  WriteSignals& operator=(const WriteSignals&) = delete;

 private:
  static constexpr int kIgnored[2] = {SIGXFSZ, SIGPIPE};
  struct sigaction ignored_[2];
  struct sigaction ending_[std::size(kEndingSignals)];
};

// Holds back interrupts while a name is given to or taken from the
// temporary file, so that TempNamed always tells whether it has one.
class EndingSignalsHeld {
 public:
  EndingSignalsHeld() {
    sigset_t held;
    sigemptyset(&held);
    for (int signal : kEndingSignals) sigaddset(&held, signal);
    ::sigprocmask(SIG_BLOCK, &held, &previous_);
  }
  ~EndingSignalsHeld() { ::sigprocmask(SIG_SETMASK, &previous_, nullptr); }
  EndingSignalsHeld(const EndingSignalsHeld&) = delete;
  EndingSignalsHeld& operator=(const EndingSignalsHeld&) = delete;

 private:
  sigset_t previous_;
};

void DropTempName() {
  EndingSignalsHeld held;
  if (TempNamed) ::unlink(TempName);
  TempNamed = 0;
}

// Gives the unnamed file a random, unused name beside the output.
int NameTempFile(int fd, const std::string& stem) {
  char self[64];
  std::snprintf(self, sizeof self, "/proc/self/fd/%d", fd);
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::uint32_t random = 0;
    if (::getrandom(&random, sizeof random, 0) != sizeof random) random ^= ::getpid() + attempt;
    EndingSignalsHeld held;
    std::snprintf(TempName, sizeof TempName, "%s%08x", stem.c_str(), random);
    if (::linkat(AT_FDCWD, self, AT_FDCWD, TempName, AT_SYMLINK_FOLLOW) == 0) {
      TempNamed = 1;
      return 0;
    }
    if (errno != EEXIST) return errno;
  }
  return EEXIST;
}

// A new file beside the output, not yet visible under any name when the
// file system allows that; otherwise under a fresh random name.
int OpenTempFile(const std::string& directory, const std::string& stem) {
  if (GsdUnnamedTempFiles) {
    int fd = ::open(directory.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
    if (fd >= 0) return fd;
  }
  EndingSignalsHeld held;
  std::snprintf(TempName, sizeof TempName, "%sXXXXXX", stem.c_str());
  int fd = ::mkostemp(TempName, O_CLOEXEC);
  if (fd >= 0) TempNamed = 1;
  return fd;
}

mode_t CreationMode() {
  mode_t mask = ::umask(0);
  ::umask(mask);
  return 0666 & ~mask;
}

void SyncDirectory(const std::string& directory) {
  int fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  ::fsync(fd);  // some file systems cannot; the rename stands either way
  ::close(fd);
}

// Writes header and frames to out, then forces them to the disk through
// syncFd unless it is -1. Closes out in every case; returns 0 or the errno.
int WriteAndClose(std::FILE* out, const TStudyRecord& record, bool baseToApex, int syncFd) {
  errno = 0;
  bool ok = WriteGsdStream(out, record, baseToApex) && !std::ferror(out);
  int error = ok ? 0 : (errno ? errno : EIO);
  if (ok && syncFd >= 0 && ::fsync(syncFd) != 0) error = errno;
  if (std::fclose(out) != 0 && error == 0) error = errno ? errno : EIO;
  return error;
}

// The output is absent, or a regular file of the caller's with one link in
// a folder the caller may write: a new file takes its place in one rename,
// so a reader sees the old bytes or the new, never a mixture.
bool ReplaceAtomically(const char* path, const struct stat* replaced, const TStudyRecord& record,
                       bool baseToApex) {
  const std::string directory = Directory(path);
  const std::string stem = directory + "/." + BaseName(path) + ".";
  WriteSignals signals;
  int fd = OpenTempFile(directory, stem);
  if (fd < 0) return FailErrno(errno);
  mode_t mode = replaced ? replaced->st_mode & 01777 : CreationMode();
  if (replaced && ::fchown(fd, static_cast<uid_t>(-1), replaced->st_gid) != 0)
    mode = (mode & ~070) | ((mode & 07) << 3);  // the old group's rights stay with the old group
  ::fchmod(fd, mode);
  bool unnamed = !TempNamed;
  int streamFd = ::dup(fd);  // the stream closes its own; fd stays open to name the file
  std::FILE* out = streamFd < 0 ? nullptr : OpenGsdStream(streamFd);
  int error = out ? WriteAndClose(out, record, baseToApex, fd) : errno;
  if (out == nullptr && streamFd >= 0) ::close(streamFd);
  if (error == 0 && unnamed) error = NameTempFile(fd, stem);
  ::close(fd);
  if (error == 0) {
    EndingSignalsHeld held;
    if (::rename(TempName, path) == 0)
      TempNamed = 0;
    else
      error = errno;
  }
  DropTempName();
  if (error != 0) return FailErrno(error);
  SyncDirectory(directory);
  return true;
}

// Anything else is written through its path, as any program would, so that
// the kernel's rules for links, devices, pipes and other users' files hold,
// and owner, mode and links stay. A file that cannot be opened for writing
// is left as it is.
bool WriteInPlace(const char* path, const TStudyRecord& record, bool baseToApex) {
  WriteSignals signals;
  int fd = ::open(path, O_WRONLY | O_CREAT | O_NOCTTY | O_CLOEXEC, 0666);
  if (fd < 0) return FailErrno(errno);
  struct stat opened;
  bool regular = ::fstat(fd, &opened) == 0 && S_ISREG(opened.st_mode);
  if (regular && ::ftruncate(fd, 0) != 0) {
    int error = errno;
    ::close(fd);
    return FailErrno(error);
  }
  std::FILE* out = OpenGsdStream(fd);
  if (out == nullptr) {
    int error = errno;
    ::close(fd);
    return FailErrno(error);
  }
  int error = WriteAndClose(out, record, baseToApex, regular ? fd : -1);
  return error == 0 || FailErrno(error);
}

bool MayReplace(const char* path, const struct stat& info) {
  return S_ISREG(info.st_mode) && info.st_nlink == 1 && info.st_uid == ::geteuid() &&
         ::faccessat(AT_FDCWD, path, W_OK, AT_EACCESS) == 0 &&
         ::faccessat(AT_FDCWD, Directory(path).c_str(), W_OK | X_OK, AT_EACCESS) == 0;
}

}  // namespace

std::string ComposeGsdHeader(const TStudyRecord& record) {
  std::string header = kGsdIdentifier;
  header += kGsdLineEnd;
  AddLine(header, "id", Sanitized(record.patientId));
  AddLine(header, "name", Sanitized(record.patientName));
  AddLine(header, "date", record.studyDate);
  AddLine(header, "time", record.studyTime);
  AddLine(header, "sex", record.sex);
  // Strict comparisons: a NaN writes nothing, nor do 30 cm and 3 kg.
  if (record.height > 30.0f) AddLine(header, "height", FixedPoint(record.height, 8, 4));
  if (record.weight > 3.0f) AddLine(header, "weight", FixedPoint(record.weight, 8, 4));
  if (record.tracer[0] != '\0') AddLine(header, "tracer", Sanitized(record.tracer));
  if (record.comment[0] != '\0') AddLine(header, "comment", Sanitized(record.comment));
  AddLine(header, "matrix", "64");
  AddLine(header, "pixel", FixedPoint(record.pixelSize, 16, 10));
  AddLine(header, "thick", FixedPoint(record.sliceThickness, 16, 10));
  AddLine(header, "hr", std::to_string(record.heartRate));
  AddLine(header, "division", std::to_string(record.gateCount));
  AddLine(header, "frames", std::to_string(record.frameCount));
  header += "order = little;";
  header += kGsdLineEnd;
  header += kGsdTerminator;
  return header;
}

bool WriteGsdStream(std::FILE* out, const TStudyRecord& record, bool baseToApex) {
  // Large writes: with the default 4 KiB buffer every 8 KiB frame behind the
  // header costs two system calls. One thread, one writer at a time.
  static char buffer[1 << 20];
  std::setvbuf(out, buffer, _IOFBF, sizeof buffer);
  std::string header = ComposeGsdHeader(record);
  if (std::fwrite(header.data(), 1, header.size(), out) != header.size()) return false;
  int gates = record.gateCount > 1 ? record.gateCount : 1;
  int frames = record.frameCount;
  for (int g = 0; g < gates; ++g) {
    for (int i = 0; i < frames; ++i) {
      int f = baseToApex ? i : frames - 1 - i;
      if (std::fwrite(ImageStore + FrameSlotIndex(g, f), kGsdFrameBytes, 1, out) != 1) return false;
    }
  }
  // The buffer belongs to this call: empty it before returning.
  return std::fflush(out) == 0;
}

int WriteGsdFile(const char* path, const TStudyRecord* record, bool baseToApex) {
  LastGsdWriteError.clear();
  if (record->gateCount > kStoreGates || record->frameCount > kStoreFramesPerGate) {
    Fail(std::to_string(record->gateCount) + " gates of " + std::to_string(record->frameCount) +
         " frames exceed the store (at most 16 gates of 64 frames)");
    return kGsdNotWritten;
  }
  struct stat info;
  bool ok;
  if (::lstat(path, &info) != 0)
    ok = errno == ENOENT ? ReplaceAtomically(path, nullptr, *record, baseToApex) : FailErrno(errno);
  else if (MayReplace(path, info))
    ok = ReplaceAtomically(path, &info, *record, baseToApex);
  else
    ok = WriteInPlace(path, *record, baseToApex);
  return ok ? kGsdWritten : kGsdNotWritten;
}

int RefuseOutputIsInput(const char* output, const char* input) {
  struct stat out, in;
  if (::stat(output, &out) != 0 || ::stat(input, &in) != 0) return kGsdWritten;
  if (out.st_dev != in.st_dev || out.st_ino != in.st_ino) return kGsdWritten;
  Fail(std::string("it is the input file ") + input + "; not overwritten");
  return kGsdNotWritten;
}
