#include "platform/document_opener.h"

#include <windows.h>
// after windows.h
#include <shellapi.h>

#include <algorithm>

#include "platform/windows/wide_text.h"

namespace {

struct ViewerWindow {
  const std::vector<long long>* processes;
  HWND found;
};

// The first visible, unowned top-level window of the processes, in the
// order from the top: the viewer's main window, not a dialog it owns.
BOOL CALLBACK TakeViewerWindow(HWND window, LPARAM argument) {
  auto& look = *reinterpret_cast<ViewerWindow*>(argument);
  DWORD process = 0;
  ::GetWindowThreadProcessId(window, &process);
  if (!::IsWindowVisible(window) || ::GetWindow(window, GW_OWNER) != nullptr ||
      std::find(look.processes->begin(), look.processes->end(), process) == look.processes->end())
    return TRUE;
  look.found = window;
  return FALSE;
}

}  // namespace

bool SystemOpensDocuments() {
  return true;
}

bool OpenDocumentWithSystem(const std::string& path, long long& viewer) {
  viewer = 0;
  bool ok = false;
  const std::wstring file = WideFromUtf8(path, ok);
  if (!ok || file.empty()) return false;
  // The shell may hand the document to a COM server on another thread:
  // initialised here, as the shell's documentation asks of a caller.
  const HRESULT com = ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
  SHELLEXECUTEINFOW request{};
  request.cbSize = sizeof request;
  // No box of the shell's when nothing is associated (the window says so
  // itself); the call ends once the viewer has the document.
  request.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI | SEE_MASK_NOASYNC;
  request.lpVerb = L"open";
  request.lpFile = file.c_str();
  request.nShow = SW_SHOWNORMAL;
  const bool opened = ::ShellExecuteExW(&request) != FALSE;
  if (opened && request.hProcess != nullptr) {
    viewer = static_cast<long long>(::GetProcessId(request.hProcess));
    ::CloseHandle(request.hProcess);
  }
  if (SUCCEEDED(com)) ::CoUninitialize();
  return opened;
}

bool BringViewerToFront(const std::vector<long long>& processes) {
  ViewerWindow look{&processes, nullptr};
  ::EnumWindows(TakeViewerWindow, reinterpret_cast<LPARAM>(&look));
  if (look.found == nullptr) return false;
  if (::IsIconic(look.found)) ::ShowWindow(look.found, SW_RESTORE);
  // Allowed: the window asking is the foreground one, its operator just
  // pressed Help.
  ::SetForegroundWindow(look.found);
  return true;
}
