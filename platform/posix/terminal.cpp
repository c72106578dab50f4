#include "platform/terminal.h"

#include <sys/ioctl.h>
#include <unistd.h>

namespace {

int Descriptor(StandardStream stream) {
  return stream == StandardStream::kOutput ? STDOUT_FILENO : STDERR_FILENO;
}

}  // namespace

bool IsTerminal(StandardStream stream) {
  return ::isatty(Descriptor(stream)) == 1;
}

int TerminalColumns(StandardStream stream) {
  winsize size{};
  if (!IsTerminal(stream) || ::ioctl(Descriptor(stream), TIOCGWINSZ, &size) != 0) return 0;
  return size.ws_col;
}
