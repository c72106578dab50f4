// A Windows program for the end-to-end tests under wine, in two parts:
//   stand_in hold PATH SECONDS   opens PATH sharing nothing (no read, write or
//                                delete by anyone else), says "held" and keeps
//                                it open for SECONDS
//   anything else                a decoder helper that never answers: it
//                                says its process id on standard error and
//                                waits 120 s (copied beside a converter as
//                                dicom-decode.exe)
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

int main(int argc, char** argv) {
  if (argc == 4 && std::strcmp(argv[1], "hold") == 0) {
    const HANDLE file = ::CreateFileA(argv[2], GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
      std::fprintf(stderr, "cannot open %s: error %lu\n", argv[2], ::GetLastError());
      return 1;
    }
    std::puts("held");
    std::fflush(stdout);
    ::Sleep(static_cast<DWORD>(std::atoi(argv[3])) * 1000);
    ::CloseHandle(file);
    return 0;
  }
  std::fprintf(stderr, "helper %lu\n", ::GetCurrentProcessId());
  std::fflush(stderr);
  ::Sleep(120 * 1000);
  return 0;
}
