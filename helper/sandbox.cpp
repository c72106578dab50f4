#include "helper/sandbox.h"

#include <cstdint>
#include <cstring>

#include "platform/confinement.h"
#include "platform/process_id.h"
#include "platform/process_privileges.h"

namespace {

// The system user the package makes for the helpers alone. Not nobody:
// other daemons run as nobody, and any of them could attach to a helper
// (ptrace, /proc/PID/mem) while it still runs the code before its filter.
constexpr const char* kHelperUser = "dicom-decode";
// Without that user: the first uid, counting down from here through the
// range Debian leaves to dynamic allocation (61184-65519), that neither an
// account nor a group names. The gid is the same number.
constexpr std::uint32_t kSpareIdFirst = 64917;
constexpr std::uint32_t kSpareIdLast = 61184;

bool Failed(std::string& why, const std::string& step, int error) {
  why = step + ": " + std::strerror(error);
  return false;
}

bool HelperIds(std::uint32_t& uid, std::uint32_t& gid) {
  if (AccountIds(kHelperUser, uid, gid) && uid != 0 && gid != 0) return true;
  for (std::uint32_t id = kSpareIdFirst; id >= kSpareIdLast; --id) {
    if (!IdNamedByNoOne(id)) continue;
    uid = id;
    gid = id;
    return true;
  }
  return false;
}

}  // namespace

bool DropPrivileges(std::string& why) {
  if (RunsAsSuperuser()) {
    std::uint32_t user, team;
    if (!HelperIds(user, team)) {
      why = std::string("no user ") + kHelperUser + " and no free uid from " +
            std::to_string(kSpareIdLast) + " to " + std::to_string(kSpareIdFirst);
      return false;
    }
    if (int error = DropSupplementaryGroups())
      return Failed(why, "cannot drop the supplementary groups", error);
    if (int error = BecomeGroup(team))
      return Failed(why, "cannot become group " + std::to_string(team), error);
    if (int error = BecomeUser(user))
      return Failed(why, "cannot become user " + std::to_string(user), error);
    if (!HoldsOnly(user, team)) {
      why = "still privileged after the change to user " + std::to_string(user);
      return false;
    }
  }
  if (int error = ForbidNewPrivileges()) return Failed(why, "cannot give up new privileges", error);
  if (int error = BecomeUndumpable()) return Failed(why, "cannot become undumpable", error);
  return true;
}

bool EndWithParent(long parent, std::string& why) {
  if (int error = EndWhenParentEnds())
    return Failed(why, "cannot tie the decoder to the converter", error);
  if (ParentProcessId() != parent) {
    why = "the converter has ended";
    return false;
  }
  return true;
}

bool ConfineSystemCalls(std::string& why, int controlFd) {
  int error = 0;
  switch (ConfineToComputation(controlFd, error)) {
    case Confinement::kConfined:
      return true;
    case Confinement::kNoFilter:
      why = "cannot set up the system call filter";
      return false;
    case Confinement::kNotInstalled:
      break;
  }
  why = std::string("cannot install the system call filter: ") + std::strerror(error);
  return false;
}
