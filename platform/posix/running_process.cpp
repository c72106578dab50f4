#include "platform/running_process.h"

#include <signal.h>
#include <sys/types.h>

bool ProcessRuns(long long pid) {
  // Signal 0 is checked and never sent.
  return pid > 0 && ::kill(static_cast<pid_t>(pid), 0) == 0;
}
