#include "platform/memory_map.h"

#include <windows.h>

#include <algorithm>
#include <cstring>

namespace {

// Address space is reserved generously and committed as the buffer grows,
// so that growing seldom moves the bytes: only commitment costs memory (and
// counts against a job's limit), a reservation costs none.
constexpr std::size_t kSmallestReservation = std::size_t{1} << 32;

char* Reserve(std::size_t bytes) {
  return static_cast<char*>(::VirtualAlloc(nullptr, bytes, MEM_RESERVE, PAGE_NOACCESS));
}

bool Commit(char* start, std::size_t bytes) {
  return ::VirtualAlloc(start, bytes, MEM_COMMIT, PAGE_READWRITE) != nullptr;
}

// How far the reservation that starts at base reaches past at, or 0.
std::size_t ReservedFrom(char* base, char* at) {
  MEMORY_BASIC_INFORMATION info;
  if (::VirtualQuery(at, &info, sizeof info) != sizeof info || info.AllocationBase != base)
    return 0;
  return info.State == MEM_RESERVE || info.State == MEM_COMMIT
             ? static_cast<char*>(info.BaseAddress) + info.RegionSize - at
             : 0;
}

}  // namespace

PageBuffer::~PageBuffer() {
  if (data_ != nullptr) ::VirtualFree(data_, 0, MEM_RELEASE);
}

bool PageBuffer::GrowTo(std::size_t bytes) {
  if (bytes <= capacity_) return true;
  if (data_ != nullptr) {
    // Within the reservation: commit the pages past the committed ones.
    // Whole pages are committed, so the first uncommitted one starts at the
    // capacity rounded up to a page.
    SYSTEM_INFO system;
    ::GetSystemInfo(&system);
    const std::size_t page = system.dwPageSize;
    char* const committedEnd = data_ + (capacity_ + page - 1) / page * page;
    const std::size_t wanted = bytes - static_cast<std::size_t>(committedEnd - data_);
    if (committedEnd - data_ >= static_cast<std::ptrdiff_t>(bytes) ||
        (ReservedFrom(data_, committedEnd) >= wanted && Commit(committedEnd, wanted))) {
      capacity_ = bytes;
      return true;
    }
  }
  // A new reservation, twice as large as asked, and the bytes moved into it.
  const std::size_t reservation = std::max(kSmallestReservation, bytes * 2);
  char* grown = bytes * 2 > bytes ? Reserve(reservation) : nullptr;
  if (grown == nullptr) grown = Reserve(bytes);
  if (grown == nullptr) return false;
  if (!Commit(grown, bytes)) {
    ::VirtualFree(grown, 0, MEM_RELEASE);
    return false;
  }
  if (data_ != nullptr) {
    std::memcpy(grown, data_, capacity_);
    ::VirtualFree(data_, 0, MEM_RELEASE);
  }
  data_ = grown;
  capacity_ = bytes;
  return true;
}

// Large pages need a privilege no user of ours holds and must be asked for
// when the memory is allocated: nothing to advise here.
void AdviseHugePages(void*, std::size_t) {}
