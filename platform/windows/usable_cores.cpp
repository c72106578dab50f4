#include "platform/usable_cores.h"

#include <windows.h>

int UsableCores() {
  // The processors of this process's affinity, counted in its group.
  DWORD_PTR process = 0, system = 0;
  if (::GetProcessAffinityMask(::GetCurrentProcess(), &process, &system) && process != 0) {
    int count = 0;
    for (; process != 0; process &= process - 1) ++count;
    return count;
  }
  const DWORD active = ::GetActiveProcessorCount(ALL_PROCESSOR_GROUPS);
  return active > 0 ? static_cast<int>(active) : 1;
}
