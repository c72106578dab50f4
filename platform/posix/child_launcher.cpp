#include "platform/child_launcher.h"

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <mutex>

namespace {

// How often a run with a cancel callback asks it, and how often one
// without a pidfd (kernels before 5.2) looks whether the child has ended.
constexpr long long kGoOnTickMilliseconds = 100;
constexpr long long kReapTickMilliseconds = 10;

// What the child needs between the clone and the exec. It shares this
// memory with the parent, which waits (CLONE_VFORK) until the exec or the
// child's end, so the child writes here why it could not start.
struct ChildStart {
  const char* path;
  char* const* argv;
  char* const* envp;
  int input, output, errors;  // become 0, 1 and 2
  int report;                 // becomes kChildReportFd; -1: none
  rlim_t memory;              // 0: unchanged
  pid_t parent;
  bool failed = false;
  const char* step = nullptr;  // the step that failed before the exec
  int error = 0;
};

[[noreturn]] __attribute__((no_sanitize("address", "undefined"))) void ChildFails(
    ChildStart& start, const char* step) {
  start.failed = true;
  start.step = step;
  start.error = errno;
  ::_exit(127);
}

// The child's side: system calls only, on the stack given to clone. All
// signals are blocked on entry, so none of the parent's handlers runs here;
// the defaults are back before the mask opens.
__attribute__((no_sanitize("address", "undefined"))) int StartChild(void* argument) {
  ChildStart& start = *static_cast<ChildStart*>(argument);
  struct sigaction standard;
  std::memset(&standard, 0, sizeof standard);
  standard.sa_handler = SIG_DFL;
  for (int sig = 1; sig < NSIG; ++sig) ::sigaction(sig, &standard, nullptr);
  // The child ends with its parent, even when the parent ended just before
  // this line (its children then have another parent).
  if (::prctl(PR_SET_PDEATHSIG, SIGKILL, 0, 0, 0) != 0) ChildFails(start, "PR_SET_PDEATHSIG");
  if (::getppid() != start.parent) {
    errno = ESRCH;
    ChildFails(start, "the parent ended");
  }
  // Above the report's place first, so that no descriptor is overwritten
  // before it is copied.
  constexpr int kFirstFree = kChildReportFd + 1;
  int input = ::fcntl(start.input, F_DUPFD_CLOEXEC, kFirstFree);
  int output = ::fcntl(start.output, F_DUPFD_CLOEXEC, kFirstFree);
  int errors = ::fcntl(start.errors, F_DUPFD_CLOEXEC, kFirstFree);
  int report = start.report >= 0 ? ::fcntl(start.report, F_DUPFD_CLOEXEC, kFirstFree) : -2;
  if (input < 0 || output < 0 || errors < 0 || report == -1 || ::dup2(input, 0) < 0 ||
      ::dup2(output, 1) < 0 || ::dup2(errors, 2) < 0 ||
      (report >= 0 && ::dup2(report, kChildReportFd) < 0))
    ChildFails(start, "dup2");
  // Nothing else of the parent's (sockets, the spool, the input's folder)
  // reaches the program. Without close_range (kernels before 5.9, or a
  // seccomp filter that refuses it), one by one up to the descriptor limit.
  const unsigned kept = report >= 0 ? kChildReportFd : 2;
  const bool closed = ::close_range(3, kept > 3 ? kept - 1 : ~0U, 0) == 0 &&
                      (kept <= 3 || ::close_range(kept + 1, ~0U, 0) == 0);
  if (!closed) {
    rlimit files;
    if (::getrlimit(RLIMIT_NOFILE, &files) != 0) ChildFails(start, "getrlimit");
    for (rlim_t fd = 3; fd < files.rlim_cur && fd < (rlim_t{1} << 20); ++fd)
      if (fd != kept) ::close(static_cast<int>(fd));
  }
  if (start.memory != 0) {
    // Only ever lowered; the program itself keeps the lower of this and its own.
    rlimit memory;
    if (::getrlimit(RLIMIT_AS, &memory) != 0) ChildFails(start, "getrlimit");
    if (start.memory < memory.rlim_max) memory = {start.memory, start.memory};
    if (::setrlimit(RLIMIT_AS, &memory) != 0) ChildFails(start, "setrlimit");
  }
  sigset_t none;
  ::sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
  ::execve(start.path, start.argv, start.envp);
  ChildFails(start, nullptr);
}

// Starts the child, its parent-death signal armed before the exec. Returns
// its pid and, on kernels that have them, a pidfd to poll (else -1); -1
// with the failure in end.
pid_t Spawn(ChildStart& start, int& pidfd, ChildEnd& end) {
  sigset_t all, caller;
  sigfillset(&all);
  ::pthread_sigmask(SIG_SETMASK, &all, &caller);
  constexpr std::size_t kStackBytes = std::size_t{256} << 10;
  void* stack = ::mmap(nullptr, kStackBytes, PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
  pid_t child = -1;
  int cloneError = errno;
  if (stack != MAP_FAILED) {
    child = ::clone(StartChild, static_cast<char*>(stack) + kStackBytes,
                    CLONE_VM | CLONE_VFORK | CLONE_PIDFD | SIGCHLD, &start, &pidfd);
    if (child < 0 && errno == EINVAL) {  // no CLONE_PIDFD
      pidfd = -1;
      child = ::clone(StartChild, static_cast<char*>(stack) + kStackBytes,
                      CLONE_VM | CLONE_VFORK | SIGCHLD, &start);
    }
    cloneError = errno;
    ::munmap(stack, kStackBytes);
  }
  ::pthread_sigmask(SIG_SETMASK, &caller, nullptr);
  if (child < 0) {
    end.startFailure = StartFailure::kResources;
    end.step = "clone";
    end.error = cloneError;
    return -1;
  }
  return child;
}

// With SIGCHLD ignored (SIG_IGN or SA_NOCLDWAIT, as a parent process may
// leave it for its children), the kernel reaps an ended child at once and its
// status is lost. While any child runs, SIGCHLD is at its default; the last
// one to end puts the caller's setting back.
class ChildStatusKept {
 public:
  ChildStatusKept() {
    std::lock_guard<std::mutex> hold(lock_);
    if (users_++ > 0) return;
    if (::sigaction(SIGCHLD, nullptr, &saved_) != 0) return;
    if (saved_.sa_handler != SIG_IGN && (saved_.sa_flags & SA_NOCLDWAIT) == 0) return;
    struct sigaction kept = saved_;
    if (kept.sa_handler == SIG_IGN) kept.sa_handler = SIG_DFL;
    kept.sa_flags &= ~SA_NOCLDWAIT;
    changed_ = ::sigaction(SIGCHLD, &kept, nullptr) == 0;
  }
  ~ChildStatusKept() {
    std::lock_guard<std::mutex> hold(lock_);
    if (--users_ > 0 || !changed_) return;
    ::sigaction(SIGCHLD, &saved_, nullptr);
    changed_ = false;
  }
  ChildStatusKept(const ChildStatusKept&) = delete;
  ChildStatusKept& operator=(const ChildStatusKept&) = delete;

 private:
  static std::mutex lock_;
  static int users_;
  static bool changed_;
  static struct sigaction saved_;
};
std::mutex ChildStatusKept::lock_;
int ChildStatusKept::users_ = 0;
bool ChildStatusKept::changed_ = false;
struct sigaction ChildStatusKept::saved_;

long long NowMilliseconds() {
  timespec now;
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

void Close(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

// The descriptors of one run, each closed once.
struct Descriptors {
  int out[2] = {-1, -1};
  int err[2] = {-1, -1};
  int report[2] = {-1, -1};
  int nothing = -1;  // the null device
  ~Descriptors() {
    for (int* fd : {&out[0], &out[1], &err[0], &err[1], &report[0], &report[1], &nothing})
      Close(*fd);
  }
};

void Record(int status, ChildEnd& end) {
  if (WIFEXITED(status)) end.exitCode = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) {
    end.signal = WTERMSIG(status);
    end.cpuLimit = end.signal == SIGXCPU;
    end.refusedCall = end.signal == SIGSYS;
  }
}

// Collects the child's output until it ends (and, if asked, its pipes
// close), the deadline passes, the caller cancels or a sink is full; then
// ends it if it runs on, and reaps it. One deadline covers its whole life.
void Watch(const ChildRun& run, ChildOutputSink* const (&sinks)[3], pid_t child, int pidfd,
           Descriptors& fds, ChildEnd& end) {
  const long long start = NowMilliseconds();
  const long long deadline = start + std::max(0LL, run.deadlineMilliseconds);
  constexpr int kPipes = 3;
  int* const pipes[kPipes] = {&fds.out[0], &fds.err[0], &fds.report[0]};
  pollfd watch[kPipes + 1] = {{fds.out[0], POLLIN, 0},
                              {fds.err[0], POLLIN, 0},
                              {fds.report[0], POLLIN, 0},
                              {pidfd, POLLIN, 0}};
  bool ended = false, reaped = false;
  int status = 0;
  // A wide pipe spares a child that writes much a stop every 64 KiB.
  ::fcntl(fds.out[0], F_SETPIPE_SZ, 1 << 20);
  for (;;) {
    if (ended && watch[0].fd < 0 && watch[1].fd < 0 && watch[2].fd < 0) break;
    if (!ended && pidfd < 0 && ::waitpid(child, &status, WNOHANG) == child) ended = reaped = true;
    const long long left = deadline - NowMilliseconds();
    if (left <= 0) {
      end.timedOut = true;
      break;
    }
    if (run.goOn && !run.goOn(NowMilliseconds() - start)) {
      end.cancelled = true;
      break;
    }
    long long wait = left;
    if (run.goOn) wait = std::min(wait, kGoOnTickMilliseconds);
    if (!ended && pidfd < 0) wait = std::min(wait, kReapTickMilliseconds);
    // Once the child has ended, only what it left in the pipes is read,
    // unless the caller waits for them to close.
    if (ended && !run.waitForOutputEnd) wait = 0;
    watch[kPipes].fd = ended ? -1 : pidfd;
    const int ready = ::poll(watch, kPipes + 1, static_cast<int>(wait));
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) {
      end.lost = true;
      end.error = errno;
      break;
    }
    if (ready == 0 && ended && !run.waitForOutputEnd) break;
    if (watch[kPipes].fd >= 0 && watch[kPipes].revents != 0) ended = true;
    for (int i = 0; i < kPipes && !end.refused; ++i) {
      pollfd& p = watch[i];
      if (p.fd < 0 || (p.revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
      char* at = nullptr;
      std::size_t room = 0;
      if (!sinks[i]->Room(at, room)) {
        end.refused = true;
        break;
      }
      const ssize_t n = ::read(p.fd, at, room);
      if (n < 0 && errno == EINTR) continue;
      if (n > 0) sinks[i]->Took(static_cast<std::size_t>(n));
      if (n <= 0) {
        Close(*pipes[i]);
        p.fd = -1;
      }
    }
    if (end.refused) break;
  }
  for (int* fd : pipes) Close(*fd);
  if (reaped) return Record(status, end);
  // Not reaped yet, so the pid is still the child's.
  if (!ended) ::kill(child, SIGKILL);
  pid_t waited;
  while ((waited = ::waitpid(child, &status, 0)) < 0 && errno == EINTR) {
  }
  if (waited != child) {
    end.lost = true;
    end.error = errno;
    return;
  }
  Record(status, end);
}

}  // namespace

ChildEnd RunChildProgram(const ChildRun& run) {
  ChildEnd end;
  if (run.argv.empty() || !std::filesystem::path(run.argv[0]).is_absolute()) {
    end.startFailure = StartFailure::kNotAbsolute;
    return end;
  }
  // The child reads the input through its own descriptor, from the first
  // byte: the stream's buffer is not the descriptor's offset.
  if (run.input != nullptr && ::lseek(::fileno(run.input), 0, SEEK_SET) != 0) {
    end.startFailure = StartFailure::kInput;
    end.error = errno;
    return end;
  }
  Descriptors fds;
  if (::pipe2(fds.out, O_CLOEXEC) != 0 ||
      (run.errors != nullptr && ::pipe2(fds.err, O_CLOEXEC) != 0) ||
      (run.report != nullptr && ::pipe2(fds.report, O_CLOEXEC) != 0) ||
      (run.input == nullptr && (fds.nothing = ::open("/dev/null", O_RDONLY | O_CLOEXEC)) < 0)) {
    end.startFailure = StartFailure::kResources;
    end.step = "pipe";
    end.error = errno;
    return end;
  }
  std::vector<char*> argv;
  for (const std::string& arg : run.argv) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  std::vector<char*> envp;
  if (run.environment) {
    for (const std::string& entry : *run.environment)
      envp.push_back(const_cast<char*>(entry.c_str()));
    envp.push_back(nullptr);
  }
  ChildStart start{run.argv[0].c_str(),
                   argv.data(),
                   run.environment ? envp.data() : environ,
                   run.input != nullptr ? ::fileno(run.input) : fds.nothing,
                   fds.out[1],
                   run.errors != nullptr ? fds.err[1] : fds.out[1],
                   fds.report[1],
                   static_cast<rlim_t>(run.addressSpaceLimit),
                   ::getpid()};
  // Output nobody wants still comes through the pipe, read and dropped.
  TextSink discard(0);
  ChildOutputSink* const sinks[3] = {run.output != nullptr ? run.output : &discard, run.errors,
                                     run.report};
  ChildStatusKept statusKept;
  int pidfd = -1;
  const pid_t child = Spawn(start, pidfd, end);
  Close(fds.out[1]);
  Close(fds.err[1]);
  Close(fds.report[1]);
  if (child < 0) return end;
  if (start.failed) {
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (pidfd >= 0) ::close(pidfd);
    Record(status, end);
    end.startFailure = StartFailure::kInChild;
    end.step = start.step;
    end.error = start.error;
    return end;
  }
  Watch(run, sinks, child, pidfd, fds, end);
  if (pidfd >= 0) ::close(pidfd);
  return end;
}

std::string ChildSignalName(int signal) {
  return ::strsignal(signal);
}
