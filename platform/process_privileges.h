// Who this process is and what it may do beyond its own memory: its user
// and groups, whether it may gain privileges through exec, whether other
// processes of its user may attach to it (ptrace, its memory file), and
// whether it ends with its parent. A program that looks at hostile files
// gives these up before it reads a byte of one. Each step returns 0 or the
// system's error number; the words are the caller's.
#pragma once

#include <cstdint>

// Whether the real or the effective user is the superuser.
bool RunsAsSuperuser();

// The user and group ids of the account named name; false when there is
// none.
bool AccountIds(const char* name, std::uint32_t& user, std::uint32_t& group);

// Whether neither an account nor a group has the number id; a lookup that
// fails (rather than finding nothing) counts as one that has it.
bool IdNamedByNoOne(std::uint32_t id);

// No supplementary groups.
int DropSupplementaryGroups();
// Real, effective and saved group id.
int BecomeGroup(std::uint32_t group);
// Real, effective and saved user id.
int BecomeUser(std::uint32_t user);
// Whether this process is now user and group in all three ids, with no
// supplementary group, and cannot become the superuser again.
bool HoldsOnly(std::uint32_t user, std::uint32_t group);

// Nothing it runs gains privileges (setuid programs, file capabilities).
int ForbidNewPrivileges();
// Others of its user can no longer attach to it nor read its memory, and it
// leaves no core file. A change of user makes a process dumpable again.
int BecomeUndumpable();
// 1 when others of its user may attach, 0 when not, -1 when unknown.
int DumpableState();

// Killed (SIGKILL) when its parent ends. A change of user clears this: arm
// it after one. Then check that the parent is still the one expected.
int EndWhenParentEnds();

// What the steps above left, for a self-check.
struct ProcessIdentity {
  std::uint32_t users[3] = {};   // real, effective, saved
  std::uint32_t groups[3] = {};  // real, effective, saved
  int supplementaryGroups = -1;
  int noNewPrivileges = -1;
  int dumpable = -1;
  int deathSignal = 0;  // the signal its parent's end sends it, 0 none
};

ProcessIdentity IdentityOfThisProcess();
