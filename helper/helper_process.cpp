#include "helper/helper_process.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "platform/default_signals.h"
#include "platform/process_limits.h"
#include "platform/process_privileges.h"
#include "platform/standard_input.h"

namespace {

constexpr std::uint64_t kCpuSeconds = 30;
constexpr std::uint64_t kAddressSpace = std::uint64_t{512}
                                        << 20;  // the largest study needs about 150 MiB

}  // namespace

void LimitResources() {
  SetProcessLimit(ProcessLimit::kCpuSeconds, {kCpuSeconds, kCpuSeconds + 1});
  // The converter may have set a lower limit, sized from the study.
  if (ProcessLimitOf(ProcessLimit::kAddressSpaceBytes).soft > kAddressSpace)
    SetProcessLimit(ProcessLimit::kAddressSpaceBytes, {kAddressSpace, kAddressSpace});
  SetProcessLimit(ProcessLimit::kCoreFileBytes, {0, 0});
}

int Fail(int status, const std::string& why) {
  std::fprintf(stderr, "%s\n", why.c_str());
  return status;
}

void ResetSignals() {
  RestoreDefaultSignals();
}

bool TakeStandardInput(Input& input, std::string& why) {
  if (MapStandardInput(input.data, input.size)) {
    input.mapped = true;
    return true;
  }
  if (int error = ReadStandardInput(input.read)) {
    why = std::string("cannot read the file: ") + std::strerror(error);
    return false;
  }
  input.data = input.read.data();
  input.size = input.read.size();
  return true;
}

bool AnswerHelpOrVersion(int argc, char** argv, const char* name, const char* usage) {
  if (argc != 2) return false;
  if (std::strcmp(argv[1], "--version") == 0) {
    std::printf("%s %s\n", name, DGC_VERSION);
    return true;
  }
  if (std::strcmp(argv[1], "--help") == 0) {
    std::printf("usage: %s < DICOM-FILE > DECODED-FILE\n\n%s", name, usage);
    return true;
  }
  return false;
}

std::string ConfinedIdentity(int dumpableAtMain) {
  const ProcessIdentity id = IdentityOfThisProcess();
  char text[512];
  std::snprintf(
      text, sizeof text,
      "uid %u %u %u gid %u %u %u groups %d no_new_privs %d dumpable_at_main %d "
      "dumpable %d pdeathsig %d cpu %llu as %llu core %llu\n",
      id.users[0], id.users[1], id.users[2], id.groups[0], id.groups[1], id.groups[2],
      id.supplementaryGroups, id.noNewPrivileges, dumpableAtMain, id.dumpable, id.deathSignal,
      static_cast<unsigned long long>(ProcessLimitOf(ProcessLimit::kCpuSeconds).soft),
      static_cast<unsigned long long>(ProcessLimitOf(ProcessLimit::kAddressSpaceBytes).soft),
      static_cast<unsigned long long>(ProcessLimitOf(ProcessLimit::kCoreFileBytes).soft));
  return text;
}
