// A child made while this process may still make one, that waits for one
// byte and then does what that byte asks: a process that later forbids
// itself new processes (confinement.h) keeps one in reserve so. The child
// ends with this process, and ends at once when the pipe closes unwritten.
#pragma once

#include <functional>

struct StandbyChild {
  long pid = -1;  // -1: no pipe or no process could be made
  int ask = -1;   // the byte goes here; closed across exec
};

// Starts it. In the child, onByte runs with the byte once it comes, and
// what it returns is the child's exit status (it may also never return).
StandbyChild StartStandbyChild(const std::function<int(char)>& onByte);

// Hands the byte over; false with the system's error number.
bool WakeStandbyChild(const StandbyChild& child, char byte, int& error);

// How the child ended.
struct StandbyEnd {
  bool reaped = false;  // false: it could not be waited for
  int exitCode = -1;    // when it exited
  int signal = 0;       // otherwise what ended it
};

StandbyEnd WaitForStandbyChild(const StandbyChild& child);
