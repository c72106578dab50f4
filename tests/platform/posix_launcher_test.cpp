// The POSIX launcher where the system refuses it a call it prefers: the
// children still see no descriptor of the parent's but 0, 1 and 2 (and the
// report pipe, when asked for).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <seccomp.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "platform/child_launcher.h"

namespace {

// In a process of its own, so that the filter stays there: a descriptor
// left open across exec on purpose, close_range refused as an older kernel
// or a container's filter refuses it.
int RunWithoutCloseRange() {
  scmp_filter_ctx filter = seccomp_init(SCMP_ACT_ALLOW);
  if (filter == nullptr ||
      seccomp_rule_add(filter, SCMP_ACT_ERRNO(ENOSYS), SCMP_SYS(close_range), 0) != 0 ||
      seccomp_load(filter) != 0)
    return 2;
  if (::dup2(::open("/dev/null", O_RDONLY), 100) != 100) return 3;
  // ls's own listing of the folder is 3.
  for (const bool report : {false, true}) {
    TextSink output(1024), reported(1024);
    ChildRun run;
    run.argv = {"/bin/sh", "-c", "ls /proc/self/fd"};
    run.output = &output;
    if (report) run.report = &reported;
    run.deadlineMilliseconds = 10000;
    const ChildEnd end = RunChildProgram(run);
    if (end.exitCode != 0 || output.text() != (report ? "0\n1\n2\n3\n4\n" : "0\n1\n2\n3\n"))
      return 1;
  }
  return 0;
}

TEST(PosixLauncher, ClosesTheParentsDescriptorsWithoutCloseRange) {
  const pid_t pid = ::fork();
  if (pid == 0) ::_exit(RunWithoutCloseRange());
  ASSERT_GT(pid, 0);
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "2: no filter, 3: no descriptor, 1: one reached the child";
}

}  // namespace
