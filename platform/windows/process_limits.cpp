#include "platform/process_limits.h"

#include <windows.h>
// after windows.h
#include <psapi.h>

#include <cerrno>

#include "platform/windows/wide_text.h"

// Windows holds a process to limits through the job it runs in: the
// launcher's job limits its memory; a limit the process sets itself goes
// into a job of its own, nested in that one (Windows 8 and later), which
// lives as long as the process. The memory limit is on committed memory,
// which is what a Windows process takes (its reserved address space,
// stacks included, costs nothing). A core file is never written: the
// limit reads 0, and setting it keeps the system's error boxes away.
namespace {

bool JobLimits(HANDLE job, JOBOBJECT_EXTENDED_LIMIT_INFORMATION& limits) {
  limits = JOBOBJECT_EXTENDED_LIMIT_INFORMATION{};
  return ::QueryInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits,
                                     nullptr) != FALSE;
}

// The job of this process's own, made and entered on first use; null when
// the system refuses it.
HANDLE OwnJob() {
  static HANDLE job = [] {
    HANDLE made = ::CreateJobObjectW(nullptr, nullptr);
    if (made != nullptr && !::AssignProcessToJobObject(made, ::GetCurrentProcess())) {
      ::CloseHandle(made);
      made = nullptr;
    }
    return made;
  }();
  return job;
}

constexpr std::uint64_t kTicksPerSecond = 10000000;  // 100 ns

}  // namespace

ProcessLimitPair ProcessLimitOf(ProcessLimit limit) {
  if (limit == ProcessLimit::kCoreFileBytes) return {0, 0};
  // The innermost job this process is in answers for all of them: a nested
  // job's limits are at most its parent's.
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits;
  if (!JobLimits(nullptr, limits)) return {};
  const DWORD flags = limits.BasicLimitInformation.LimitFlags;
  if (limit == ProcessLimit::kAddressSpaceBytes && (flags & JOB_OBJECT_LIMIT_PROCESS_MEMORY) != 0)
    return {limits.ProcessMemoryLimit, limits.ProcessMemoryLimit};
  if (limit == ProcessLimit::kCpuSeconds && (flags & JOB_OBJECT_LIMIT_PROCESS_TIME) != 0) {
    const std::uint64_t seconds =
        static_cast<std::uint64_t>(limits.BasicLimitInformation.PerProcessUserTimeLimit.QuadPart) /
        kTicksPerSecond;
    return {seconds, seconds};
  }
  return {};
}

int SetProcessLimit(ProcessLimit limit, ProcessLimitPair pair) {
  if (limit == ProcessLimit::kCoreFileBytes) {
    if (pair.soft != 0) return EINVAL;
    ::SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
    return 0;
  }
  const HANDLE job = OwnJob();
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits;
  if (job == nullptr || !JobLimits(job, limits)) return ErrnoOfSystemError(::GetLastError());
  // The hard limit is what a job holds: the soft one cannot differ from it.
  const std::uint64_t value = pair.soft;
  DWORD& flags = limits.BasicLimitInformation.LimitFlags;
  if (limit == ProcessLimit::kAddressSpaceBytes) {
    flags = value == kNoProcessLimit ? flags & ~JOB_OBJECT_LIMIT_PROCESS_MEMORY
                                     : flags | JOB_OBJECT_LIMIT_PROCESS_MEMORY;
    limits.ProcessMemoryLimit = static_cast<SIZE_T>(value == kNoProcessLimit ? 0 : value);
  } else {
    flags = value == kNoProcessLimit ? flags & ~JOB_OBJECT_LIMIT_PROCESS_TIME
                                     : flags | JOB_OBJECT_LIMIT_PROCESS_TIME;
    limits.BasicLimitInformation.PerProcessUserTimeLimit.QuadPart =
        static_cast<LONGLONG>(value == kNoProcessLimit ? 0 : value * kTicksPerSecond);
  }
  return ::SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits)
             ? 0
             : ErrnoOfSystemError(::GetLastError());
}

std::size_t AddressSpaceLeft() {
  const std::uint64_t limit = ProcessLimitOf(ProcessLimit::kAddressSpaceBytes).soft;
  PROCESS_MEMORY_COUNTERS_EX counters{};
  counters.cb = sizeof counters;
  if (limit == kNoProcessLimit ||
      !::GetProcessMemoryInfo(::GetCurrentProcess(),
                              reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                              sizeof counters))
    return 0;
  return limit > counters.PrivateUsage ? static_cast<std::size_t>(limit - counters.PrivateUsage)
                                       : 1;
}
