#include "platform/report_descriptor.h"

#include <io.h>
#include <windows.h>

#include <cerrno>

bool TakeInheritedDescriptor(int fd) {
  const HANDLE handle =
      fd < 0 ? INVALID_HANDLE_VALUE : reinterpret_cast<HANDLE>(::_get_osfhandle(fd));
  if (handle == INVALID_HANDLE_VALUE) return false;
  if (fd > 2) ::SetHandleInformation(handle, HANDLE_FLAG_INHERIT, 0);
  return true;
}

bool WriteWhole(int fd, const std::string& bytes) {
  for (std::size_t done = 0; done < bytes.size();) {
    const std::size_t left = bytes.size() - done;
    const int n = ::_write(fd, bytes.data() + done,
                           static_cast<unsigned>(left > 0x40000000u ? 0x40000000u : left));
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}
