#include "transcoder.h"

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

#include "decoder_status.h"
#include "program_folder.h"

namespace {

constexpr const char* kHelperName = "dicom-decode";
// How often a waiting load asks its caller whether to go on.
constexpr int kWaitTickMilliseconds = 100;

// Where the helper may be, in order: beside the running program as the kernel
// resolved it, then where the build installs it. Never a name looked up in
// PATH, the current folder or a folder above, where another user could have
// put a program of that name.
std::vector<std::string> HelperCandidates(const DecoderSettings& settings) {
  if (!settings.helperPath.empty()) return {settings.helperPath};
  std::vector<std::string> paths;
  const std::string folder = ProgramFolder();
  if (!folder.empty()) paths.push_back(folder + "/" + kHelperName);
#ifdef DGC_DECODER_PATH
  const std::string installed = DGC_DECODER_PATH;
  if (installed[0] == '/' && (paths.empty() || paths[0] != installed)) paths.push_back(installed);
#endif
  return paths;
}

// The first candidate that is a file, or empty with the reason.
std::string HelperPath(const DecoderSettings& settings, std::string& reason) {
  std::vector<std::string> candidates = HelperCandidates(settings);
  std::string looked;
  for (const std::string& path : candidates) {
    struct stat info;
    if (::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode)) return path;
    looked += (looked.empty() ? "" : ", ") + path;
  }
  reason = looked.empty() ? "the decoder is not installed (no /proc/self/exe to look beside)"
                          : "the decoder is not installed (looked for " + looked + ")";
  return "";
}

// What the child needs between the clone and the exec. It shares this memory
// with the caller, who waits (CLONE_VFORK) until the exec or the child's end.
struct HelperStart {
  const char* path;
  int input, output, errors;  // become 0, 1 and 2
  rlim_t memory;              // the helper's address space, set before the exec
  pid_t parent;
  sigset_t mask;  // the caller's, back just before the exec
  bool failed = false;
  const char* step = nullptr;  // the step that failed before the exec
  int error = 0;
};

[[noreturn]] __attribute__((no_sanitize("address", "undefined"))) void ChildFails(
    HelperStart& start, const char* step) {
  start.failed = true;
  start.step = step;
  start.error = errno;
  ::_exit(127);
}

// The child's side: system calls only, on the stack given to clone. All
// signals are blocked on entry, so none of the caller's handlers runs here;
// the defaults are back before the mask opens.
__attribute__((no_sanitize("address", "undefined"))) int StartHelper(void* argument) {
  HelperStart& start = *static_cast<HelperStart*>(argument);
  struct sigaction standard;
  std::memset(&standard, 0, sizeof standard);
  standard.sa_handler = SIG_DFL;
  for (int sig = 1; sig < NSIG; ++sig) ::sigaction(sig, &standard, nullptr);
  // The helper ends with the converter, even when the converter ended just
  // before this line (its children then have another parent).
  if (::prctl(PR_SET_PDEATHSIG, SIGKILL, 0, 0, 0) != 0) ChildFails(start, "PR_SET_PDEATHSIG");
  if (::getppid() != start.parent) {
    errno = ESRCH;
    ChildFails(start, "the converter ended");
  }
  // Above 2 first, so that no descriptor is overwritten before it is copied.
  int input = ::fcntl(start.input, F_DUPFD_CLOEXEC, 3);
  int output = ::fcntl(start.output, F_DUPFD_CLOEXEC, 3);
  int errors = ::fcntl(start.errors, F_DUPFD_CLOEXEC, 3);
  if (input < 0 || output < 0 || errors < 0 || ::dup2(input, 0) < 0 || ::dup2(output, 1) < 0 ||
      ::dup2(errors, 2) < 0)
    ChildFails(start, "dup2");
  if (::close_range(3, ~0U, 0) != 0) {
    rlimit files;
    if (::getrlimit(RLIMIT_NOFILE, &files) != 0) ChildFails(start, "getrlimit");
    for (rlim_t fd = 3; fd < files.rlim_cur && fd < (rlim_t{1} << 20); ++fd)
      ::close(static_cast<int>(fd));
  }
  // Only ever lowered; the helper itself keeps the lower of this and its own.
  rlimit memory;
  if (::getrlimit(RLIMIT_AS, &memory) != 0) ChildFails(start, "getrlimit");
  if (start.memory < memory.rlim_max) memory = {start.memory, start.memory};
  if (::setrlimit(RLIMIT_AS, &memory) != 0) ChildFails(start, "setrlimit");
  ::sigprocmask(SIG_SETMASK, &start.mask, nullptr);
  char* argv[] = {const_cast<char*>(start.path), nullptr};
  char* envp[] = {nullptr};
  ::execve(start.path, argv, envp);
  ChildFails(start, nullptr);
}

// Starts the helper, its parent-death signal armed before the exec. Returns
// its pid and a pidfd to poll, or -1 with the reason.
pid_t SpawnHelper(const std::string& path, int input, int output, int errors, std::size_t memory,
                  int& pidfd, std::string& reason) {
  HelperStart start{path.c_str(), input, output, errors, static_cast<rlim_t>(memory),
                    ::getpid(),   {}};
  sigset_t all;
  sigfillset(&all);
  ::pthread_sigmask(SIG_SETMASK, &all, &start.mask);
  constexpr std::size_t kStackBytes = std::size_t{256} << 10;
  void* stack = ::mmap(nullptr, kStackBytes, PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
  pid_t child = -1;
  int cloneError = errno;
  if (stack != MAP_FAILED) {
    child = ::clone(StartHelper, static_cast<char*>(stack) + kStackBytes,
                    CLONE_VM | CLONE_VFORK | CLONE_PIDFD | SIGCHLD, &start, &pidfd);
    cloneError = errno;
    ::munmap(stack, kStackBytes);
  }
  ::pthread_sigmask(SIG_SETMASK, &start.mask, nullptr);
  if (child < 0) {
    reason = "cannot start the decoder: " + std::string(std::strerror(cloneError));
    return -1;
  }
  if (start.failed) {
    int status;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    ::close(pidfd);
    reason = "cannot start the decoder " + path + ": ";
    if (start.step != nullptr) reason += std::string(start.step) + ": ";
    reason += std::strerror(start.error);
    return -1;
  }
  return child;
}

// With SIGCHLD ignored (SIG_IGN or SA_NOCLDWAIT, as a parent process may
// leave it for its children), the kernel reaps an ended helper at once and its
// status is lost. While any helper runs, SIGCHLD is at its default; the last
// one to end puts the caller's setting back.
class HelperStatusKept {
 public:
  HelperStatusKept() {
    std::lock_guard<std::mutex> hold(lock_);
    if (users_++ > 0) return;
    if (::sigaction(SIGCHLD, nullptr, &saved_) != 0) return;
    if (saved_.sa_handler != SIG_IGN && (saved_.sa_flags & SA_NOCLDWAIT) == 0) return;
    struct sigaction kept = saved_;
    if (kept.sa_handler == SIG_IGN) kept.sa_handler = SIG_DFL;
    kept.sa_flags &= ~SA_NOCLDWAIT;
    changed_ = ::sigaction(SIGCHLD, &kept, nullptr) == 0;
  }
  ~HelperStatusKept() {
    std::lock_guard<std::mutex> hold(lock_);
    if (--users_ > 0 || !changed_) return;
    ::sigaction(SIGCHLD, &saved_, nullptr);
    changed_ = false;
  }
  HelperStatusKept(const HelperStatusKept&) = delete;
  HelperStatusKept& operator=(const HelperStatusKept&) = delete;

 private:
  static std::mutex lock_;
  static int users_;
  static bool changed_;
  static struct sigaction saved_;
};
std::mutex HelperStatusKept::lock_;
int HelperStatusKept::users_ = 0;
bool HelperStatusKept::changed_ = false;
struct sigaction HelperStatusKept::saved_;

long long NowMilliseconds() {
  timespec now;
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

std::string HowItEnded(int status, bool timedOut, int timeoutSeconds, const std::string& words) {
  if (timedOut) return "the decoder did not finish within " + std::to_string(timeoutSeconds) + " s";
  if (WIFSIGNALED(status)) {
    int signal = WTERMSIG(status);
    if (signal == SIGXCPU) return "the decoder ran out of CPU time";
    if (signal == SIGSYS)
      return "the decoder was stopped for a system call outside its sandbox (Bad system call)";
    return "the decoder crashed (" + std::string(::strsignal(signal)) + ")";
  }
  std::string reason = words;
  while (!reason.empty() && (reason.back() == '\n' || reason.back() == '\r')) reason.pop_back();
  if (reason.empty())
    reason = "the decoder failed (status " + std::to_string(WEXITSTATUS(status)) + ")";
  return reason;
}

}  // namespace

DecodedFile::~DecodedFile() {
  if (data_ != nullptr) ::munmap(data_, capacity_);
}

// The first mapping takes what the limit can need, up to kFirstMapping, so
// that a decode of the size the header declared is read without a move; it
// is address space only until the bytes arrive. Beyond it (a deflated data
// set, whose size nobody knows first, or a wide study), the mapping doubles
// by mremap, which moves page tables, not bytes.
bool DecodedFile::Grow(std::size_t limit) {
  constexpr std::size_t kHugePage = std::size_t{2} << 20;
  constexpr std::size_t kFirstMapping = std::size_t{64} << 20;
  constexpr std::size_t kChunk = std::size_t{1} << 20;
  std::size_t wanted = capacity_ == 0 ? std::min(limit + kChunk, kFirstMapping) : capacity_ * 2;
  wanted = std::min(wanted, limit + kChunk);
  wanted = (wanted + kHugePage - 1) / kHugePage * kHugePage;
  if (wanted <= capacity_) return false;
  void* grown;
  if (data_ == nullptr) {
    grown = ::mmap(nullptr, wanted, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  } else {
    grown = ::mremap(data_, capacity_, wanted, MREMAP_MAYMOVE);
  }
  if (grown == MAP_FAILED) return false;
  ::madvise(grown, wanted, MADV_HUGEPAGE);
  data_ = static_cast<char*>(grown);
  capacity_ = wanted;
  return true;
}

long DecodedFile::ReadFrom(int fd, std::size_t limit) {
  constexpr std::size_t kChunk = std::size_t{1} << 20;
  if (size_ > limit) {
    errno = ENOMEM;
    return -1;
  }
  if (capacity_ - size_ < kChunk && !Grow(limit)) {
    errno = ENOMEM;
    return -1;
  }
  ssize_t n = ::read(fd, data_ + size_, capacity_ - size_);
  if (n > 0) size_ += static_cast<std::size_t>(n);
  return n;
}

namespace {

// What became of a running helper.
struct HelperEnd {
  std::string words;  // its standard error, the first 4 KiB
  bool tooLarge = false, timedOut = false, exited = false, cancelled = false;
  int waitError = 0;
  int status = 0;
};

// Collects the helper's output and error line until it ends, and reaps it.
// One deadline covers its whole life: its output, its error line and its
// end. A helper that closes its pipes and lingers is killed too.
HelperEnd WatchHelper(pid_t child, int pidfd, int out, int err, DecodedFile& decoded,
                      std::size_t limit, int timeoutSeconds, const DecodeWaitCallback& goOn) {
  HelperEnd end;
  const long long start = NowMilliseconds();
  const long long deadline = start + 1000LL * timeoutSeconds;
  pollfd fds[3] = {{out, POLLIN, 0}, {err, POLLIN, 0}, {pidfd, POLLIN, 0}};
  char buffer[4096];
  // A wide pipe spares the helper a stop every 64 KiB.
  ::fcntl(out, F_SETPIPE_SZ, 1 << 20);
  while (fds[0].fd >= 0 || fds[1].fd >= 0 || !end.exited) {
    long long left = deadline - NowMilliseconds();
    if (left <= 0) {
      end.timedOut = true;
      break;
    }
    if (goOn && !goOn(NowMilliseconds() - start)) {
      end.cancelled = true;
      break;
    }
    int ready = ::poll(
        fds, 3, static_cast<int>(goOn ? std::min<long long>(left, kWaitTickMilliseconds) : left));
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) {
      end.waitError = errno;
      break;
    }
    if (fds[2].revents != 0) {
      end.exited = true;
      fds[2].fd = -1;
    }
    for (int i = 0; i < 2; ++i) {  // the two pipes
      pollfd& p = fds[i];
      if (p.fd < 0 || (p.revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
      ssize_t n;
      if (p.fd == out) {
        n = decoded.ReadFrom(p.fd, limit);
        if (n < 0 && errno == ENOMEM) end.tooLarge = true;
      } else {
        n = ::read(p.fd, buffer, sizeof buffer);
        if (n > 0 && end.words.size() < 4096) end.words.append(buffer, static_cast<std::size_t>(n));
      }
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        ::close(p.fd);
        p.fd = -1;
      }
    }
    if (end.tooLarge) break;
  }
  // Not reaped yet, so the pid is still the helper's.
  if (!end.exited) ::kill(child, SIGKILL);
  for (int i = 0; i < 2; ++i)
    if (fds[i].fd >= 0) ::close(fds[i].fd);
  pid_t reaped;
  while ((reaped = ::waitpid(child, &end.status, 0)) < 0 && errno == EINTR) {
  }
  if (reaped != child) end.waitError = errno;
  return end;
}

// The result of a decode from how its helper ended.
DecodeResult Verdict(const HelperEnd& end, const DecodedFile& decoded, int timeoutSeconds,
                     std::string& reason) {
  if (end.cancelled) {
    reason = "cancelled by the operator";
    return DecodeResult::kCancelled;
  }
  if (end.waitError != 0) {
    reason = std::string("cannot follow the decoder: ") + std::strerror(end.waitError);
    return DecodeResult::kFailed;
  }
  if (end.tooLarge) {
    reason = "the decoded file exceeds the memory set aside for it";
    return DecodeResult::kFailed;
  }
  const int status = end.status;
  if (!end.timedOut && WIFEXITED(status) && WEXITSTATUS(status) == kHelperPixelDataShort) {
    reason = "the pixel data end before the last frame";
    return DecodeResult::kPixelDataShort;
  }
  if (end.timedOut || !WIFEXITED(status) || WEXITSTATUS(status) != kHelperDecoded) {
    reason =
        HowItEnded(status, end.timedOut, timeoutSeconds, end.words.substr(0, end.words.find('\n')));
    return DecodeResult::kFailed;
  }
  if (decoded.size() == 0) {
    reason = "the decoder wrote nothing";
    return DecodeResult::kFailed;
  }
  return DecodeResult::kDecoded;
}

}  // namespace

DecodeResult DecodeToRawLittleEndian(int fd, DecodedFile& decoded, std::string& reason,
                                     const DecodeBudget& budget, const DecoderSettings& settings,
                                     const DecodeWaitCallback& goOn) {
  if (!settings.enabled) {
    reason = "the decoder is switched off";
    return DecodeResult::kFailed;
  }
  if (::lseek(fd, 0, SEEK_SET) != 0) {
    reason = std::string("cannot read the file again: ") + std::strerror(errno);
    return DecodeResult::kFailed;
  }
  int out[2], err[2];
  if (::pipe2(out, O_CLOEXEC) != 0) {
    reason = std::string("cannot start the decoder: ") + std::strerror(errno);
    return DecodeResult::kFailed;
  }
  if (::pipe2(err, O_CLOEXEC) != 0) {
    reason = std::string("cannot start the decoder: ") + std::strerror(errno);
    ::close(out[0]);
    ::close(out[1]);
    return DecodeResult::kFailed;
  }
  std::string helper = HelperPath(settings, reason);
  HelperStatusKept statusKept;
  int pidfd = -1;
  pid_t child = helper.empty()
                    ? -1
                    : SpawnHelper(helper, fd, out[1], err[1], budget.helperMemory, pidfd, reason);
  ::close(out[1]);
  ::close(err[1]);
  if (child < 0) {
    ::close(out[0]);
    ::close(err[0]);
    return DecodeResult::kFailed;
  }
  const int timeout =
      settings.timeoutSeconds > 0 ? settings.timeoutSeconds : DecoderSettings{}.timeoutSeconds;
  const HelperEnd end =
      WatchHelper(child, pidfd, out[0], err[0], decoded, budget.decodedBytes, timeout, goOn);
  ::close(pidfd);
  return Verdict(end, decoded, timeout, reason);
}
