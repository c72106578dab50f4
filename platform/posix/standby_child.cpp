#include "platform/standby_child.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

StandbyChild StartStandbyChild(const std::function<int(char)>& onByte) {
  StandbyChild standby;
  int control[2];
  if (::pipe2(control, O_CLOEXEC) != 0) return standby;
  const pid_t self = ::getpid();
  const pid_t child = ::fork();
  if (child == 0) {
    ::close(control[1]);
    if (::prctl(PR_SET_PDEATHSIG, SIGKILL, 0, 0, 0) != 0 || ::getppid() != self) ::_exit(0);
    char byte = 0;
    ssize_t n;
    while ((n = ::read(control[0], &byte, 1)) < 0 && errno == EINTR) {
    }
    if (n != 1) ::_exit(0);
    ::_exit(onByte(byte));
  }
  ::close(control[0]);
  if (child < 0) {
    ::close(control[1]);
    return standby;
  }
  standby.pid = child;
  standby.ask = control[1];
  return standby;
}

bool WakeStandbyChild(const StandbyChild& child, char byte, int& error) {
  if (::write(child.ask, &byte, 1) == 1) return true;
  error = errno;
  return false;
}

StandbyEnd WaitForStandbyChild(const StandbyChild& child) {
  StandbyEnd end;
  int status = 0;
  pid_t reaped;
  while ((reaped = ::waitpid(static_cast<pid_t>(child.pid), &status, 0)) < 0 && errno == EINTR) {
  }
  if (reaped != child.pid) return end;
  end.reaped = true;
  if (WIFEXITED(status))
    end.exitCode = WEXITSTATUS(status);
  else
    end.signal = WIFSIGNALED(status) ? WTERMSIG(status) : SIGKILL;
  return end;
}
