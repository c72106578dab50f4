// UTF-8, the product's text, as UTF-16, the Windows API's; and the
// system's error codes as the C library's numbers, which the callers print
// with strerror as on every system.
#pragma once

#include <windows.h>

#include <string>

// Empty (and ok false) when text is not valid UTF-8.
std::wstring WideFromUtf8(const std::string& text, bool& ok);

// The errno value nearest a GetLastError code.
int ErrnoOfSystemError(DWORD error);
