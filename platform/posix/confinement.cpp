#include "platform/confinement.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <sched.h>
#include <seccomp.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <initializer_list>

namespace {

scmp_arg_cmp Arg(unsigned arg, scmp_compare op, scmp_datum_t a, scmp_datum_t b = 0) {
  return scmp_arg_cmp{arg, op, a, b};
}

}  // namespace

Confinement ConfineToComputation(int controlFd, int& error) {
  scmp_filter_ctx filter = ::seccomp_init(SCMP_ACT_KILL_PROCESS);
  if (filter == nullptr) return Confinement::kNoFilter;
  int rc = 0;
  auto add = [&](std::uint32_t action, const char* name, std::initializer_list<scmp_arg_cmp> args) {
    int number = ::seccomp_syscall_resolve_name(name);
    if (rc != 0 || number < 0) return;  // not a call on this architecture
    rc = ::seccomp_rule_add_array(filter, action, number, static_cast<unsigned>(args.size()),
                                  args.begin());
  };
  auto allow = [&](const char* name, std::initializer_list<scmp_arg_cmp> args = {}) {
    add(SCMP_ACT_ALLOW, name, args);
  };
  // The output and the one line of reason; the control byte.
  for (const char* name : {"write", "writev"})
    for (scmp_datum_t fd : {1, 2}) allow(name, {Arg(0, SCMP_CMP_EQ, fd)});
  // Output pages go into a pipe by reference (pipe_pages.h).
  allow("vmsplice", {Arg(0, SCMP_CMP_EQ, 1)});
  if (controlFd > 2) allow("write", {Arg(0, SCMP_CMP_EQ, static_cast<scmp_datum_t>(controlFd))});
  // Memory: anonymous, never executable.
  allow("mmap", {Arg(2, SCMP_CMP_MASKED_EQ, PROT_EXEC, 0),
                 Arg(3, SCMP_CMP_MASKED_EQ, MAP_ANONYMOUS, MAP_ANONYMOUS)});
  allow("mprotect", {Arg(2, SCMP_CMP_MASKED_EQ, PROT_EXEC, 0)});
  for (const char* name : {"munmap", "mremap", "brk", "madvise"}) allow(name);
  // The ways out, abort() among them (it signals this process only), so that
  // a failed assertion in a codec still reads as one.
  for (const char* name :
       {"exit", "exit_group", "rt_sigreturn", "rt_sigprocmask", "rt_sigaction", "getpid", "gettid"})
    allow(name);
  allow("tgkill", {Arg(0, SCMP_CMP_EQ, static_cast<scmp_datum_t>(::getpid()))});
  // The C library's locks, and the clock where the vDSO does not answer.
  for (const char* name : {"futex", "clock_gettime"}) allow(name);
  // Threads of this process: clone only with CLONE_THREAD and CLONE_VM,
  // never a new process (fork, vfork and exec stay forbidden). clone3
  // passes its flags in memory the filter cannot read; told it does not
  // exist, the C library falls back to clone. A new thread registers its
  // robust futex list and its rseq area.
  allow("clone", {Arg(0, SCMP_CMP_MASKED_EQ, CLONE_THREAD | CLONE_VM, CLONE_THREAD | CLONE_VM)});
  add(SCMP_ACT_ERRNO(ENOSYS), "clone3", {});
  for (const char* name : {"set_robust_list", "rseq", "sched_yield"}) allow(name);
  // A child made before the filter (standby_child.h) is waited for.
  allow("wait4");
  // libuuid, for the UIDs GDCM's image writer makes (a big-endian file is
  // rewritten through it): random bytes mixed with the process's ids.
  for (const char* name : {"getrandom", "getuid", "getppid"}) allow(name);
  // When libjpeg gives up, GDCM looks for a pvrg-jpeg program to run on
  // temporary files. It learns that there is none, and reports libjpeg's
  // words.
  for (const char* name : {"access", "faccessat", "faccessat2"})
    add(SCMP_ACT_ERRNO(ENOENT), name, {});
  if (rc == 0) rc = ::seccomp_load(filter);
  ::seccomp_release(filter);
  if (rc != 0) {
    error = -rc;
    return Confinement::kNotInstalled;
  }
  return Confinement::kConfined;
}

void TryForbiddenCall(ForbiddenCall call) {
  char* argv[] = {const_cast<char*>("/bin/true"), nullptr};
  switch (call) {
    case ForbiddenCall::kNewProcess:
      ::fork();
      break;
    case ForbiddenCall::kOpenFile:
      ::open("/etc/passwd", O_RDONLY);
      break;
    case ForbiddenCall::kSocket:
      ::socket(AF_INET, SOCK_STREAM, 0);
      break;
    case ForbiddenCall::kRunProgram:
      ::execve(argv[0], argv, nullptr);
      break;
    case ForbiddenCall::kExecutableMemory:
      ::mmap(nullptr, 4096, PROT_READ | PROT_EXEC, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
      break;
    case ForbiddenCall::kFileMapping:
      ::mmap(nullptr, 4096, PROT_READ, MAP_PRIVATE, 0, 0);
      break;
  }
}
