#include "platform/running_process.h"

#include <windows.h>
// after windows.h
#include <tlhelp32.h>

#include <map>

bool ProcessRuns(long long pid) {
  if (pid <= 0) return false;
  const HANDLE process = ::OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(pid));
  if (process == nullptr) return false;
  const bool runs = ::WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
  ::CloseHandle(process);
  return runs;
}

std::vector<long long> ProcessTree(long long pid) {
  if (!ProcessRuns(pid)) return {};
  std::vector<long long> tree{pid};
  const HANDLE snapshot = ::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return tree;
  std::multimap<long long, long long> children;
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = ::Process32FirstW(snapshot, &entry); more;
       more = ::Process32NextW(snapshot, &entry))
    if (entry.th32ProcessID != 0 && entry.th32ParentProcessID != entry.th32ProcessID)
      children.emplace(entry.th32ParentProcessID, entry.th32ProcessID);
  ::CloseHandle(snapshot);
  // A parent's number may have been reused by a younger process: the walk
  // stays bounded whatever the snapshot says.
  for (std::size_t i = 0; i < tree.size() && tree.size() < 4096; ++i) {
    const auto range = children.equal_range(tree[i]);
    for (auto it = range.first; it != range.second; ++it) tree.push_back(it->second);
  }
  return tree;
}
