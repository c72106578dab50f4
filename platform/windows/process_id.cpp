#include "platform/process_id.h"

#include <windows.h>
// after windows.h
#include <tlhelp32.h>

long ThisProcessId() {
  return static_cast<long>(::GetCurrentProcessId());
}

long ParentProcessId() {
  // The id the parent had when this process was made: Windows keeps no
  // tree, so once the parent has ended the id may name another process.
  const DWORD self = ::GetCurrentProcessId();
  const HANDLE snapshot = ::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return 0;
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  long parent = 0;
  for (BOOL more = ::Process32FirstW(snapshot, &entry); more;
       more = ::Process32NextW(snapshot, &entry))
    if (entry.th32ProcessID == self) {
      parent = static_cast<long>(entry.th32ParentProcessID);
      break;
    }
  ::CloseHandle(snapshot);
  return parent;
}
