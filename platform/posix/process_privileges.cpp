#include "platform/process_privileges.h"

#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

namespace {

int Result(int rc) {
  return rc == 0 ? 0 : errno;
}

}  // namespace

bool RunsAsSuperuser() {
  return ::getuid() == 0 || ::geteuid() == 0;
}

bool AccountIds(const char* name, std::uint32_t& user, std::uint32_t& group) {
  std::vector<char> buffer(16384);
  passwd account;
  passwd* found = nullptr;
  if (::getpwnam_r(name, &account, buffer.data(), buffer.size(), &found) != 0 || found == nullptr)
    return false;
  user = found->pw_uid;
  group = found->pw_gid;
  return true;
}

bool IdNamedByNoOne(std::uint32_t id) {
  std::vector<char> buffer(16384);
  passwd account;
  passwd* found = nullptr;
  group team;
  group* named = nullptr;
  return ::getpwuid_r(id, &account, buffer.data(), buffer.size(), &found) == 0 &&
         found == nullptr && ::getgrgid_r(id, &team, buffer.data(), buffer.size(), &named) == 0 &&
         named == nullptr;
}

int DropSupplementaryGroups() {
  return Result(::setgroups(0, nullptr));
}

int BecomeGroup(std::uint32_t group) {
  return Result(::setresgid(group, group, group));
}

int BecomeUser(std::uint32_t user) {
  return Result(::setresuid(user, user, user));
}

bool HoldsOnly(std::uint32_t user, std::uint32_t group) {
  uid_t ruid, euid, suid;
  gid_t rgid, egid, sgid;
  return ::getresuid(&ruid, &euid, &suid) == 0 && ::getresgid(&rgid, &egid, &sgid) == 0 &&
         ruid == user && euid == user && suid == user && rgid == group && egid == group &&
         sgid == group && ::getgroups(0, nullptr) == 0 && ::setuid(0) != 0;
}

int ForbidNewPrivileges() {
  return Result(::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0));
}

int BecomeUndumpable() {
  return Result(::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0));
}

int DumpableState() {
  return ::prctl(PR_GET_DUMPABLE, 0, 0, 0, 0);
}

int EndWhenParentEnds() {
  return Result(::prctl(PR_SET_PDEATHSIG, SIGKILL, 0, 0, 0));
}

ProcessIdentity IdentityOfThisProcess() {
  ProcessIdentity identity;
  uid_t ruid, euid, suid;
  gid_t rgid, egid, sgid;
  ::getresuid(&ruid, &euid, &suid);
  ::getresgid(&rgid, &egid, &sgid);
  identity.users[0] = ruid;
  identity.users[1] = euid;
  identity.users[2] = suid;
  identity.groups[0] = rgid;
  identity.groups[1] = egid;
  identity.groups[2] = sgid;
  identity.supplementaryGroups = ::getgroups(0, nullptr);
  identity.noNewPrivileges = ::prctl(PR_GET_NO_NEW_PRIVS, 0, 0, 0, 0);
  identity.dumpable = ::prctl(PR_GET_DUMPABLE, 0, 0, 0, 0);
  ::prctl(PR_GET_PDEATHSIG, &identity.deathSignal, 0, 0, 0);
  return identity;
}
