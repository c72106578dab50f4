#include "platform/process_id.h"

#include <unistd.h>

long ThisProcessId() {
  return ::getpid();
}

long ParentProcessId() {
  return ::getppid();
}
