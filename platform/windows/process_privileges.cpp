#include "platform/process_privileges.h"

#include <windows.h>

#include <cerrno>

// Windows has no user and group ids to change to, no setuid programs, no
// ptrace and no parent-death signal: a process gives its rights up in its
// token (confinement.h) and ends with its launcher through the launcher's
// job. The POSIX steps report ENOSYS, and the identity reads as unknown.
bool RunsAsSuperuser() {
  HANDLE token = nullptr;
  TOKEN_ELEVATION elevation{};
  DWORD size = 0;
  const bool elevated =
      ::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token) &&
      ::GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &size) &&
      elevation.TokenIsElevated != 0;
  if (token != nullptr) ::CloseHandle(token);
  return elevated;
}

bool AccountIds(const char* name, std::uint32_t& user, std::uint32_t& group) {
  (void)name;
  user = group = 0;
  return false;
}

bool IdNamedByNoOne(std::uint32_t id) {
  (void)id;
  return false;
}

int DropSupplementaryGroups() {
  return ENOSYS;
}

int BecomeGroup(std::uint32_t group) {
  (void)group;
  return ENOSYS;
}

int BecomeUser(std::uint32_t user) {
  (void)user;
  return ENOSYS;
}

bool HoldsOnly(std::uint32_t user, std::uint32_t group) {
  (void)user;
  (void)group;
  return false;
}

int ForbidNewPrivileges() {
  return ENOSYS;
}

int BecomeUndumpable() {
  return ENOSYS;
}

int DumpableState() {
  return -1;
}

int EndWhenParentEnds() {
  return ENOSYS;
}

ProcessIdentity IdentityOfThisProcess() {
  return ProcessIdentity{};
}
