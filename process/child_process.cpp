#include "child_process.h"

#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>

ChildResult RunChild(const std::vector<std::string>& argv, int deadlineSeconds,
                     std::size_t outputLimit) {
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
  int devNull = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  const pid_t parent = ::getpid();
  pid_t pid = ::fork();
  if (pid == 0) {
    // Only async-signal-safe calls until exec: the parent has threads.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) ::_exit(127);
    if (devNull >= 0) ::dup2(devNull, STDIN_FILENO);
    ::dup2(pipeFds[1], STDOUT_FILENO);
    ::dup2(pipeFds[1], STDERR_FILENO);
    // Nothing of the node's (sockets, the spool) reaches the program.
    ::close_range(3, ~0U, 0);
    struct sigaction defaults = {};
    defaults.sa_handler = SIG_DFL;
    ::sigaction(SIGPIPE, &defaults, nullptr);
    sigset_t none;
    ::sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::execv(args[0], args.data());
    ::_exit(127);
  }
  ::close(pipeFds[1]);
  if (devNull >= 0) ::close(devNull);
  if (pid < 0) {
    ::close(pipeFds[0]);
    result.output = "fork failed";
    return result;
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(deadlineSeconds);
  char buffer[4096];
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    deadline - std::chrono::steady_clock::now())
                    .count();
    if (left <= 0) {
      result.timedOut = true;
      ::kill(pid, SIGKILL);
      break;
    }
    struct pollfd watch = {pipeFds[0], POLLIN, 0};
    int ready = ::poll(&watch, 1, static_cast<int>(left > INT_MAX ? INT_MAX : left));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) continue;
    ssize_t n = ::read(pipeFds[0], buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    std::size_t room = outputLimit - std::min(outputLimit, result.output.size());
    result.output.append(buffer, std::min(room, static_cast<std::size_t>(n)));
  }
  ::close(pipeFds[0]);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
  return result;
}

std::string ProgramFolder() {
  char path[PATH_MAX];
  ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return {};
  std::string self(path, static_cast<std::size_t>(n));
  std::size_t slash = self.rfind('/');
  if (self[0] != '/' || slash == std::string::npos) return {};
  return slash == 0 ? "/" : self.substr(0, slash);
}
