#include "helper/sandbox.h"

#include <grp.h>
#include <pwd.h>
#include <sched.h>
#include <seccomp.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <vector>

namespace {

// The system user the package makes for the helpers alone. Not nobody:
// other daemons run as nobody, and any of them could attach to a helper
// (ptrace, /proc/PID/mem) while it still runs the code before its filter.
constexpr const char* kHelperUser = "dicom-decode";
// Without that user: the first uid, counting down from here through the
// range Debian leaves to dynamic allocation (61184-65519), that neither an
// account nor a group names. The gid is the same number.
constexpr uid_t kSpareIdFirst = 64917;
constexpr uid_t kSpareIdLast = 61184;

bool Failed(std::string& why, const std::string& step) {
  why = step + ": " + std::strerror(errno);
  return false;
}

bool HelperIds(uid_t& uid, gid_t& gid) {
  std::vector<char> buffer(16384);
  passwd account;
  passwd* found = nullptr;
  if (::getpwnam_r(kHelperUser, &account, buffer.data(), buffer.size(), &found) == 0 &&
      found != nullptr && found->pw_uid != 0 && found->pw_gid != 0) {
    uid = found->pw_uid;
    gid = found->pw_gid;
    return true;
  }
  for (uid_t id = kSpareIdFirst; id >= kSpareIdLast; --id) {
    group team;
    group* named = nullptr;
    // An error (not only "no such entry") counts as taken.
    if (::getpwuid_r(id, &account, buffer.data(), buffer.size(), &found) != 0 || found != nullptr ||
        ::getgrgid_r(id, &team, buffer.data(), buffer.size(), &named) != 0 || named != nullptr)
      continue;
    uid = id;
    gid = id;
    return true;
  }
  return false;
}

scmp_arg_cmp Arg(unsigned arg, scmp_compare op, scmp_datum_t a, scmp_datum_t b = 0) {
  return scmp_arg_cmp{arg, op, a, b};
}

}  // namespace

bool DropPrivileges(std::string& why) {
  if (::getuid() == 0 || ::geteuid() == 0) {
    uid_t user;
    gid_t team;
    if (!HelperIds(user, team)) {
      why = std::string("no user ") + kHelperUser + " and no free uid from " +
            std::to_string(kSpareIdLast) + " to " + std::to_string(kSpareIdFirst);
      return false;
    }
    if (::setgroups(0, nullptr) != 0) return Failed(why, "cannot drop the supplementary groups");
    if (::setresgid(team, team, team) != 0)
      return Failed(why, "cannot become group " + std::to_string(team));
    if (::setresuid(user, user, user) != 0)
      return Failed(why, "cannot become user " + std::to_string(user));
    uid_t ruid, euid, suid;
    gid_t rgid, egid, sgid;
    if (::getresuid(&ruid, &euid, &suid) != 0 || ::getresgid(&rgid, &egid, &sgid) != 0 ||
        ruid != user || euid != user || suid != user || rgid != team || egid != team ||
        sgid != team || ::getgroups(0, nullptr) != 0 || ::setuid(0) == 0) {
      why = "still privileged after the change to user " + std::to_string(user);
      return false;
    }
  }
  if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0)
    return Failed(why, "cannot give up new privileges");
  if (::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0) != 0) return Failed(why, "cannot become undumpable");
  return true;
}

bool EndWithParent(pid_t parent, std::string& why) {
  if (::prctl(PR_SET_PDEATHSIG, SIGKILL, 0, 0, 0) != 0)
    return Failed(why, "cannot tie the decoder to the converter");
  if (::getppid() != parent) {
    why = "the converter has ended";
    return false;
  }
  return true;
}

bool ConfineSystemCalls(std::string& why, int controlFd) {
  scmp_filter_ctx filter = ::seccomp_init(SCMP_ACT_KILL_PROCESS);
  if (filter == nullptr) {
    why = "cannot set up the system call filter";
    return false;
  }
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
  // The decoded file and the one line of reason; the byte that hands a file
  // to the GDCM helper.
  for (const char* name : {"write", "writev"})
    for (scmp_datum_t fd : {1, 2}) allow(name, {Arg(0, SCMP_CMP_EQ, fd)});
  // The decoded pixels go into the output pipe by reference.
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
  // Threads of this process, which decode frames side by side: clone only
  // with CLONE_THREAD and CLONE_VM, never a new process (fork, vfork and
  // exec stay forbidden). clone3 passes its flags in memory the filter
  // cannot read; told it does not exist, the C library falls back to clone.
  // A new thread registers its robust futex list and its rseq area.
  allow("clone", {Arg(0, SCMP_CMP_MASKED_EQ, CLONE_THREAD | CLONE_VM, CLONE_THREAD | CLONE_VM)});
  add(SCMP_ACT_ERRNO(ENOSYS), "clone3", {});
  for (const char* name : {"set_robust_list", "rseq", "sched_yield"}) allow(name);
  // dicom-decode waits for the GDCM helper, a child made before the filter.
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
    why = std::string("cannot install the system call filter: ") + std::strerror(-rc);
    return false;
  }
  return true;
}
