// The signals a service is stopped by or told to reopen its log by, taken
// by a thread that waits for them rather than by handlers: it may then do
// anything (log, stop the listener), not only what a handler may.
#pragma once

#include <thread>

enum class DaemonSignal {
  kTerminate,  // SIGTERM
  kInterrupt,  // SIGINT
  kHangUp,     // SIGHUP
  kWake,       // SIGUSR1: WakeSignalWaiter's, or one from outside
};

// Blocks SIGTERM, SIGINT and SIGHUP in this thread and in every thread it
// starts from now on, so that only WaitForDaemonSignal takes them; a write
// to a closed pipe or socket then fails instead of ending the process
// (SIGPIPE ignored).
void HoldDaemonSignals();

// Blocks the wake signal too, in this thread and those it starts from now.
void HoldWakeSignal();

// Waits for one of the four; they must be held in every thread.
DaemonSignal WaitForDaemonSignal();

// Sends the wake signal to the thread that waits.
void WakeSignalWaiter(std::thread& waiter);
