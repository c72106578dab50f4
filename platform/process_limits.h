// The limits the system holds this process to: its CPU time, its address
// space, the size of a core file; and the address space it may still map.
#pragma once

#include <cstddef>
#include <cstdint>

enum class ProcessLimit { kCpuSeconds, kAddressSpaceBytes, kCoreFileBytes };

// No limit, or one that cannot be read.
constexpr std::uint64_t kNoProcessLimit = UINT64_MAX;

// The soft limit (what holds now) and the hard one (how far the soft one
// may be raised); both kNoProcessLimit when they cannot be read.
struct ProcessLimitPair {
  std::uint64_t soft = kNoProcessLimit;
  std::uint64_t hard = kNoProcessLimit;
};

ProcessLimitPair ProcessLimitOf(ProcessLimit limit);

// 0, or the system's error number (a hard limit can only be lowered).
int SetProcessLimit(ProcessLimit limit, ProcessLimitPair pair);

// The address space this process may still map: its limit less what it has
// mapped (read from the system's account of this process, so it needs a
// file the system-call filter forbids); 0 when either is unknown or there
// is no limit, 1 when all of it is taken.
std::size_t AddressSpaceLeft();
