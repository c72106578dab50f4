#include "platform/document_opener.h"

#include <windows.h>
// after windows.h
#include <shellapi.h>

#include "platform/windows/wide_text.h"

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
