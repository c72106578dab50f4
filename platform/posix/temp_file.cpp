#include "platform/temp_file.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <iterator>
#include <new>

namespace {

// The signals that end a process and that the writer answers by removing
// its temporary file first.
constexpr int kEndingSignals[] = {SIGINT, SIGTERM, SIGHUP};
constexpr int kIgnoredSignals[] = {SIGXFSZ, SIGPIPE};
// What WriteSignals keeps in its room for the system's own form.
struct SavedActions {
  struct sigaction ignored[std::size(kIgnoredSignals)];
  struct sigaction ending[std::size(kEndingSignals)];
};

// The temporary file's name while it has one, for the signal handler. One
// output is written at a time.
constexpr std::size_t kStemBytes = 200;  // leaves room in a 255-byte name
char TempName[kStemBytes + 16];
volatile std::sig_atomic_t TempFolder = -1;
volatile std::sig_atomic_t TempNamed = 0;

extern "C" void RemoveTempAndEnd(int signal) {
  if (TempNamed) ::unlinkat(TempFolder, TempName, 0);
  struct sigaction fallback {};
  fallback.sa_handler = SIG_DFL;
  ::sigaction(signal, &fallback, nullptr);
  ::raise(signal);  // delivered, with its default action, when the handler returns
}

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
  if (TempNamed) ::unlinkat(TempFolder, TempName, 0);
  TempNamed = 0;
}

// Puts a fresh random name beside outputName into TempName.
void ChooseTempName(const std::string& outputName, int attempt) {
  std::uint32_t random = 0;
  if (::getrandom(&random, sizeof random, 0) != sizeof random)
    random ^= static_cast<std::uint32_t>(::getpid()) * 2654435761u + static_cast<unsigned>(attempt);
  std::snprintf(TempName, sizeof TempName, ".%.*s.%08x", static_cast<int>(kStemBytes),
                outputName.c_str(), static_cast<unsigned>(random));
}

std::string ProcPath(int fd) {
  return "/proc/self/fd/" + std::to_string(fd);
}

// Whether linkat can name the unnamed file later: /proc/self/fd leads to it.
bool CanBeNamed(int fd) {
  struct stat viaProc, direct;
  return ::stat(ProcPath(fd).c_str(), &viaProc) == 0 && ::fstat(fd, &direct) == 0 &&
         viaProc.st_dev == direct.st_dev && viaProc.st_ino == direct.st_ino;
}

}  // namespace

TempFile::~TempFile() {
  if (!unnamed_ && fd_ >= 0) DropTempName();
  if (fd_ >= 0) ::close(fd_);
}

int TempFile::Create(int folder, const std::string& outputName, bool mayBeUnnamed) {
  if (mayBeUnnamed) {
    int fd = ::openat(folder, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
    if (fd >= 0 && CanBeNamed(fd)) {
      fd_ = fd;
      folder_ = folder;
      outputName_ = outputName;
      unnamed_ = true;
      return 0;
    }
    if (fd >= 0) ::close(fd);
  }
  return CreateNamed(folder, outputName, 0600);
}

int TempFile::CreateNamed(int folder, const std::string& outputName, unsigned mode) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    EndingSignalsHeld held;
    ChooseTempName(outputName, attempt);
    int fd = ::openat(folder, TempName, O_CREAT | O_EXCL | O_WRONLY | O_NOFOLLOW | O_CLOEXEC, mode);
    if (fd >= 0) {
      TempFolder = folder;
      TempNamed = 1;
      fd_ = fd;
      folder_ = folder;
      outputName_ = outputName;
      unnamed_ = false;
      return 0;
    }
    if (errno != EEXIST) return errno;
  }
  return EEXIST;
}

int TempFile::Commit() {
  if (unnamed_) {
    const std::string self = ProcPath(fd_);
    int error = EEXIST;
    for (int attempt = 0; attempt < 100 && error == EEXIST; ++attempt) {
      EndingSignalsHeld held;
      ChooseTempName(outputName_, attempt);
      if (::linkat(AT_FDCWD, self.c_str(), folder_, TempName, AT_SYMLINK_FOLLOW) == 0) {
        TempFolder = folder_;
        TempNamed = 1;
        unnamed_ = false;
        error = 0;
      } else {
        error = errno;
      }
    }
    if (error != 0) return error;
  }
  EndingSignalsHeld held;
  if (::renameat(folder_, TempName, folder_, outputName_.c_str()) != 0) return errno;
  TempNamed = 0;
  ::close(fd_);
  fd_ = -1;
  return 0;
}

int TempFile::Release() {
  if (!unnamed_ && fd_ >= 0) DropTempName();
  int fd = fd_;
  fd_ = -1;
  return fd;
}

int OpenNewFileModel(int folder, const std::string& outputName, bool mayBeUnnamed,
                     UniqueFd& model) {
  if (mayBeUnnamed) {
    model.Reset(::openat(folder, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0666));
    if (model.valid()) return 0;
  }
  // The model holds no bytes: for the moment it has a name, it tells nothing.
  TempFile named;
  if (int error = named.CreateNamed(folder, outputName, 0666)) return error;
  model.Reset(named.Release());
  return 0;
}

WriteSignals::WriteSignals() {
  static_assert(sizeof(SavedActions) <= sizeof saved_ && alignof(SavedActions) <= 16,
                "WriteSignals has room for the actions");
  auto* saved = new (saved_) SavedActions;
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  for (std::size_t i = 0; i < std::size(kIgnoredSignals); ++i)
    ::sigaction(kIgnoredSignals[i], &ignore, &saved->ignored[i]);
  struct sigaction cleanup {};
  cleanup.sa_handler = RemoveTempAndEnd;
  sigfillset(&cleanup.sa_mask);
  for (std::size_t i = 0; i < std::size(kEndingSignals); ++i) {
    ::sigaction(kEndingSignals[i], nullptr, &saved->ending[i]);
    if (saved->ending[i].sa_handler != SIG_IGN) ::sigaction(kEndingSignals[i], &cleanup, nullptr);
  }
}

WriteSignals::~WriteSignals() {
  auto* saved = reinterpret_cast<SavedActions*>(saved_);
  for (std::size_t i = 0; i < std::size(kIgnoredSignals); ++i)
    ::sigaction(kIgnoredSignals[i], &saved->ignored[i], nullptr);
  for (std::size_t i = 0; i < std::size(kEndingSignals); ++i)
    ::sigaction(kEndingSignals[i], &saved->ending[i], nullptr);
}
