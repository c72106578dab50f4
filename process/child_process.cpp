#include "child_process.h"

#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

namespace {

// Where a child that cannot exec its program writes its errno: descriptor
// 3, close-on-exec, so that a started program never sees it.
constexpr int kExecErrorFd = 3;

// In the child, between fork and exec: only async-signal-safe calls, since
// the parent has threads. Never returns.
[[noreturn]] void ExecInChild(char* const* args, pid_t parent, int devNull, int output,
                              int execError, int report) {
  ::prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (::getppid() != parent) ::_exit(127);
  if (devNull >= 0) ::dup2(devNull, STDIN_FILENO);
  ::dup2(output, STDOUT_FILENO);
  ::dup2(output, STDERR_FILENO);
  ::dup2(execError, kExecErrorFd);
  ::fcntl(kExecErrorFd, F_SETFD, FD_CLOEXEC);
  // Above kChildReportFd (see ReportChannel): nothing above overwrites it.
  if (report >= 0) ::dup2(report, kChildReportFd);
  // Nothing of the node's (sockets, the spool) reaches the program.
  ::close_range((report >= 0 ? kChildReportFd : kExecErrorFd) + 1, ~0U, 0);
  struct sigaction defaults = {};
  defaults.sa_handler = SIG_DFL;
  ::sigaction(SIGPIPE, &defaults, nullptr);
  sigset_t none;
  ::sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
  ::execv(args[0], args);
  const int error = errno;
  (void)!::write(kExecErrorFd, &error, sizeof error);
  ::_exit(127);
}

// The errno of a child's failed exec, or 0 once the program runs (the
// pipe closes at the exec).
int ExecError(int fd) {
  int error = 0;
  ssize_t n;
  while ((n = ::read(fd, &error, sizeof error)) < 0 && errno == EINTR) {
  }
  return n == static_cast<ssize_t>(sizeof error) ? error : 0;
}

// The report channel: a pipe whose write end lies above kChildReportFd, so
// that the child's dup2 onto its lower descriptors cannot overwrite it, and
// whose read end does not block. False when it cannot be made.
bool ReportChannel(int fds[2]) {
  if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) return false;
  const int high = ::fcntl(fds[1], F_DUPFD_CLOEXEC, kChildReportFd + 1);
  ::close(fds[1]);
  fds[1] = high;
  // The child's end blocks as an ordinary descriptor does.
  if (high >= 0 && ::fcntl(high, F_SETFL, 0) == 0) return true;
  ::close(fds[0]);
  if (high >= 0) ::close(high);
  return false;
}

// What the ended child left on the report channel, at most limit bytes.
std::string DrainReport(int fd, std::size_t limit) {
  std::string report;
  char buffer[4096];
  ssize_t n;
  while (report.size() < limit &&
         ((n = ::read(fd, buffer, sizeof buffer)) > 0 || (n < 0 && errno == EINTR)))
    if (n > 0) report.append(buffer, std::min(static_cast<std::size_t>(n), limit - report.size()));
  return report;
}

long long MillisecondsUntil(std::chrono::steady_clock::time_point deadline) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                               std::chrono::steady_clock::now())
      .count();
}

// Reads the child's output until it closes it or ends, keeping at most the
// limit: what it wrote before it ended is kept, but a process it left in
// the background holding the output open is not waited for. At the
// deadline the child is killed. Without a pidfd (old kernels), only the
// output's end counts.
void CollectOutput(int fd, int pidfd, pid_t pid, std::chrono::steady_clock::time_point deadline,
                   std::size_t outputLimit, ChildResult& result) {
  char buffer[4096];
  bool ended = false;
  for (;;) {
    const long long left = MillisecondsUntil(deadline);
    if (left <= 0) {
      result.timedOut = true;
      ::kill(pid, SIGKILL);
      break;
    }
    struct pollfd watch[2] = {{fd, POLLIN, 0}, {pidfd, POLLIN, 0}};
    const nfds_t watched = pidfd >= 0 && !ended ? 2 : 1;
    int ready =
        ::poll(watch, watched, ended ? 0 : static_cast<int>(std::min<long long>(left, INT_MAX)));
    if (ready < 0 && errno == EINTR) continue;
    if (ready == 0 && ended) break;  // what it wrote is all read
    if (ready <= 0) continue;
    if (watched == 2 && watch[1].revents != 0) ended = true;
    if (watch[0].revents == 0) continue;
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    std::size_t room = outputLimit - std::min(outputLimit, result.output.size());
    result.output.append(buffer, std::min(room, static_cast<std::size_t>(n)));
  }
}

// Waits for the child within the same deadline: one that closed its output
// early and runs on is killed there too. Its status counts only when the
// wait succeeded.
void Reap(pid_t pid, std::chrono::steady_clock::time_point deadline, ChildResult& result) {
  int status = 0;
  for (;;) {
    const pid_t waited = ::waitpid(pid, &status, result.timedOut ? 0 : WNOHANG);
    if (waited == pid) break;
    if (waited < 0 && errno == EINTR) continue;
    if (waited < 0) return;
    if (MillisecondsUntil(deadline) <= 0) {
      result.timedOut = true;
      ::kill(pid, SIGKILL);
      continue;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
}

}  // namespace

ChildResult RunChild(const std::vector<std::string>& argv, int deadlineSeconds,
                     std::size_t outputLimit, bool reportChannel) {
  ChildResult result;
  if (argv.empty() || argv[0].empty() || argv[0][0] != '/') {
    result.output = "not an absolute program path";
    return result;
  }
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  int pipeFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
    result.output = "pipe failed";
    return result;
  }
  int execError[2];
  if (::pipe2(execError, O_CLOEXEC) != 0) {
    ::close(pipeFds[0]);
    ::close(pipeFds[1]);
    result.output = "pipe failed";
    return result;
  }
  int report[2] = {-1, -1};
  if (reportChannel && !ReportChannel(report)) {
    for (int fd : {pipeFds[0], pipeFds[1], execError[0], execError[1]}) ::close(fd);
    result.output = "pipe failed";
    return result;
  }
  int devNull = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  const pid_t parent = ::getpid();
  pid_t pid = ::fork();
  if (pid == 0) ExecInChild(args.data(), parent, devNull, pipeFds[1], execError[1], report[1]);
  ::close(pipeFds[1]);
  ::close(execError[1]);
  if (report[1] >= 0) ::close(report[1]);
  if (devNull >= 0) ::close(devNull);
  if (pid < 0) {
    ::close(pipeFds[0]);
    ::close(execError[0]);
    if (report[0] >= 0) ::close(report[0]);
    result.output = "fork failed";
    return result;
  }
  const int notStarted = ExecError(execError[0]);
  ::close(execError[0]);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(deadlineSeconds);
  // Close-on-exec, as pidfd_open makes it.
  const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
  CollectOutput(pipeFds[0], pidfd, pid, deadline, outputLimit, result);
  if (pidfd >= 0) ::close(pidfd);
  ::close(pipeFds[0]);
  Reap(pid, deadline, result);
  if (report[0] >= 0) {
    result.report = DrainReport(report[0], outputLimit);
    ::close(report[0]);
  }
  if (notStarted != 0) result.output = "cannot start " + argv[0] + ": " + std::strerror(notStarted);
  return result;
}
