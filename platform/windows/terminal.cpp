#include "platform/terminal.h"

#include <windows.h>

namespace {

HANDLE Handle(StandardStream stream) {
  return ::GetStdHandle(stream == StandardStream::kOutput ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE);
}

}  // namespace

// A console only: _isatty also says yes for the NUL device, where a
// progress line redrawn in place would only be bytes thrown away.
bool IsTerminal(StandardStream stream) {
  DWORD mode = 0;
  const HANDLE handle = Handle(stream);
  return handle != nullptr && handle != INVALID_HANDLE_VALUE && ::GetConsoleMode(handle, &mode);
}

int TerminalColumns(StandardStream stream) {
  CONSOLE_SCREEN_BUFFER_INFO info;
  if (!IsTerminal(stream) || !::GetConsoleScreenBufferInfo(Handle(stream), &info)) return 0;
  const int columns = info.srWindow.Right - info.srWindow.Left + 1;
  return columns > 0 ? columns : 0;
}
