#include "platform/confinement.h"

#include <windows.h>

#include <vector>

#include "platform/windows/wide_text.h"

// Windows has no system-call filter: the process shuts itself in with what
// its token and its mitigation policies give, inside the job its launcher
// made (one active process, its memory, ended with the launcher):
//   - every privilege removed from its token, for good;
//   - its integrity level lowered to Low: no file, key or process of its
//     user's (all Medium) can be opened for writing, while the handles it
//     holds (standard input, output and error) stay usable;
//   - no executable memory made or changed (dynamic code prohibited), no
//     image loaded from a share or one labelled Low, no legacy extension
//     point DLLs.
// controlFd has no meaning here (no standby child).
namespace {

bool RemovePrivileges(HANDLE token) {
  DWORD size = 0;
  ::GetTokenInformation(token, TokenPrivileges, nullptr, 0, &size);
  if (size == 0) return false;
  std::vector<unsigned char> room(size);
  auto* privileges = reinterpret_cast<TOKEN_PRIVILEGES*>(room.data());
  if (!::GetTokenInformation(token, TokenPrivileges, privileges, size, &size)) return false;
  if (privileges->PrivilegeCount == 0) return true;
  for (DWORD i = 0; i < privileges->PrivilegeCount; ++i)
    privileges->Privileges[i].Attributes = SE_PRIVILEGE_REMOVED;
  return ::AdjustTokenPrivileges(token, FALSE, privileges, 0, nullptr, nullptr) &&
         ::GetLastError() == ERROR_SUCCESS;
}

bool LowerIntegrity(HANDLE token) {
  SID_IDENTIFIER_AUTHORITY label = SECURITY_MANDATORY_LABEL_AUTHORITY;
  PSID low = nullptr;
  if (!::AllocateAndInitializeSid(&label, 1, SECURITY_MANDATORY_LOW_RID, 0, 0, 0, 0, 0, 0, 0, &low))
    return false;
  TOKEN_MANDATORY_LABEL level{};
  level.Label.Attributes = SE_GROUP_INTEGRITY;
  level.Label.Sid = low;
  const bool set = ::SetTokenInformation(token, TokenIntegrityLevel, &level,
                                         sizeof level + ::GetLengthSid(low)) != FALSE;
  ::FreeSid(low);
  return set;
}

bool ApplyMitigations() {
  PROCESS_MITIGATION_DYNAMIC_CODE_POLICY code{};
  code.ProhibitDynamicCode = 1;
  PROCESS_MITIGATION_IMAGE_LOAD_POLICY images{};
  images.NoRemoteImages = 1;
  images.NoLowMandatoryLabelImages = 1;
  PROCESS_MITIGATION_EXTENSION_POINT_DISABLE_POLICY extensions{};
  extensions.DisableExtensionPoints = 1;
  return ::SetProcessMitigationPolicy(ProcessDynamicCodePolicy, &code, sizeof code) &&
         ::SetProcessMitigationPolicy(ProcessImageLoadPolicy, &images, sizeof images) &&
         ::SetProcessMitigationPolicy(ProcessExtensionPointDisablePolicy, &extensions,
                                      sizeof extensions);
}

}  // namespace

Confinement ConfineToComputation(int controlFd, int& error) {
  (void)controlFd;
  // No box of the system's for a crash or a missing drive: the launcher
  // reads the exception from the exit status.
  ::SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
  HANDLE token = nullptr;
  if (!::OpenProcessToken(::GetCurrentProcess(),
                          TOKEN_QUERY | TOKEN_ADJUST_PRIVILEGES | TOKEN_ADJUST_DEFAULT, &token)) {
    error = ErrnoOfSystemError(::GetLastError());
    return Confinement::kNoFilter;
  }
  const bool confined = RemovePrivileges(token) && LowerIntegrity(token) && ApplyMitigations();
  const DWORD failure = ::GetLastError();
  ::CloseHandle(token);
  if (!confined) {
    error = ErrnoOfSystemError(failure);
    return Confinement::kNotInstalled;
  }
  return Confinement::kConfined;
}

void TryForbiddenCall(ForbiddenCall call) {
  // What the confinement refuses here fails rather than ending the
  // process: a refused attempt ends it with status 0xC0000022 (access
  // denied), as the filter's SIGSYS does on Linux; one that succeeds
  // returns.
  bool allowed = false;
  switch (call) {
    case ForbiddenCall::kNewProcess:
    case ForbiddenCall::kRunProgram: {
      STARTUPINFOW startup{};
      startup.cb = sizeof startup;
      PROCESS_INFORMATION started{};
      wchar_t line[] = L"cmd.exe /c exit";
      allowed = ::CreateProcessW(nullptr, line, nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr,
                                 nullptr, &startup, &started) != FALSE;
      if (allowed) {
        ::TerminateProcess(started.hProcess, 0);
        ::CloseHandle(started.hProcess);
        ::CloseHandle(started.hThread);
      }
      break;
    }
    case ForbiddenCall::kOpenFile: {
      wchar_t folder[MAX_PATH];
      const UINT length = ::GetWindowsDirectoryW(folder, MAX_PATH);
      const std::wstring path = std::wstring(folder, length) + L"\\dgc-confinement-check";
      const HANDLE file = ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                        FILE_FLAG_DELETE_ON_CLOSE, nullptr);
      allowed = file != INVALID_HANDLE_VALUE;
      if (allowed) ::CloseHandle(file);
      break;
    }
    case ForbiddenCall::kExecutableMemory: {
      void* code = ::VirtualAlloc(nullptr, 4096, MEM_COMMIT, PAGE_EXECUTE_READ);
      allowed = code != nullptr;
      if (allowed) ::VirtualFree(code, 0, MEM_RELEASE);
      break;
    }
    case ForbiddenCall::kSocket:
    case ForbiddenCall::kFileMapping:
      // A Low process may still open a socket and map what it holds:
      // nothing here refuses them.
      allowed = true;
      break;
  }
  if (!allowed) ::ExitProcess(0xC0000022u);
}
