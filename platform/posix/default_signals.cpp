#include "platform/default_signals.h"

#include <signal.h>

#include <csignal>

void RestoreDefaultSignals() {
  for (int sig = 1; sig < NSIG; ++sig) std::signal(sig, SIG_DFL);
  sigset_t none;
  sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
}

void EndBySignal(int signal) {
  std::signal(signal, SIG_DFL);
  ::raise(signal);
}
