#include "platform/file_system_kind.h"

// The kernel keeps no file systems of its own state under a drive here.
const char* KernelFileSystem(int, std::uint64_t) {
  return nullptr;
}

bool OnProcFileSystem(int) {
  return false;
}
