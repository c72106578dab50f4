#include "platform/daemon_signals.h"

#include <pthread.h>
#include <signal.h>

namespace {

sigset_t Signals(bool wake) {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGHUP);
  if (wake) sigaddset(&signals, SIGUSR1);
  return signals;
}

}  // namespace

void HoldDaemonSignals() {
  const sigset_t signals = Signals(false);
  ::pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  ::signal(SIGPIPE, SIG_IGN);
}

void HoldWakeSignal() {
  const sigset_t signals = Signals(true);
  ::pthread_sigmask(SIG_BLOCK, &signals, nullptr);
}

DaemonSignal WaitForDaemonSignal() {
  const sigset_t signals = Signals(true);
  for (;;) {
    int signal = 0;
    if (::sigwait(&signals, &signal) != 0) continue;
    switch (signal) {
      case SIGTERM:
        return DaemonSignal::kTerminate;
      case SIGINT:
        return DaemonSignal::kInterrupt;
      case SIGHUP:
        return DaemonSignal::kHangUp;
      default:
        return DaemonSignal::kWake;
    }
  }
}

void WakeSignalWaiter(std::thread& waiter) {
  ::pthread_kill(waiter.native_handle(), SIGUSR1);
}
