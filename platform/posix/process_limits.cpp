#include "platform/process_limits.h"

#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace {

int Resource(ProcessLimit limit) {
  switch (limit) {
    case ProcessLimit::kCpuSeconds:
      return RLIMIT_CPU;
    case ProcessLimit::kAddressSpaceBytes:
      return RLIMIT_AS;
    case ProcessLimit::kCoreFileBytes:
      break;
  }
  return RLIMIT_CORE;
}

std::uint64_t FromSystem(rlim_t value) {
  return value == RLIM_INFINITY ? kNoProcessLimit : static_cast<std::uint64_t>(value);
}

rlim_t ToSystem(std::uint64_t value) {
  return value == kNoProcessLimit ? RLIM_INFINITY : static_cast<rlim_t>(value);
}

}  // namespace

ProcessLimitPair ProcessLimitOf(ProcessLimit limit) {
  rlimit now;
  if (::getrlimit(Resource(limit), &now) != 0) return {};
  return {FromSystem(now.rlim_cur), FromSystem(now.rlim_max)};
}

int SetProcessLimit(ProcessLimit limit, ProcessLimitPair pair) {
  const rlimit wanted{ToSystem(pair.soft), ToSystem(pair.hard)};
  return ::setrlimit(Resource(limit), &wanted) == 0 ? 0 : errno;
}

std::size_t AddressSpaceLeft() {
  rlimit limit;
  if (::getrlimit(RLIMIT_AS, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return 0;
  std::FILE* statm = std::fopen("/proc/self/statm", "re");
  if (statm == nullptr) return 0;
  unsigned long pages = 0;
  const bool read = std::fscanf(statm, "%lu", &pages) == 1;
  std::fclose(statm);
  const long pageSize = ::sysconf(_SC_PAGESIZE);
  if (!read || pageSize <= 0) return 0;
  const std::size_t mapped = pages * static_cast<std::size_t>(pageSize);
  return limit.rlim_cur > mapped ? static_cast<std::size_t>(limit.rlim_cur) - mapped : 1;
}
