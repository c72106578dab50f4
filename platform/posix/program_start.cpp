#include "platform/program_start.h"

// A POSIX stream has no text mode, and the arguments are the bytes the
// caller gave: nothing to do.
void StartProgram(int& argc, char**& argv) {
  (void)argc;
  (void)argv;
}
