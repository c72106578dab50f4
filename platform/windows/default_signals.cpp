#include "platform/default_signals.h"

#include <csignal>
#include <initializer_list>

// Windows has no signal mask, and a new process gets the C runtime's
// defaults: only the handlers the runtime knows are set back.
void RestoreDefaultSignals() {
  for (int sig : {SIGINT, SIGILL, SIGFPE, SIGSEGV, SIGTERM, SIGBREAK, SIGABRT})
    std::signal(sig, SIG_DFL);
}

void EndBySignal(int signal) {
  std::signal(signal, SIG_DFL);
  std::raise(signal);
}
