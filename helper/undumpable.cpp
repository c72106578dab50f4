// Both helpers are undumpable from their first instruction of their own:
// until then another process of the same user could attach to one (ptrace,
// /proc/PID/mem) and run its code before the helper confines itself. An
// entry in the program's preinit array runs before the initialisers of
// every shared library it loads (GDCM's, the C++ library's), where a
// constructor of the program's own, whatever its priority, runs after them.
// Installed mode 0711, the helpers are undumpable even before this (the
// kernel makes a program the user may not read undumpable at exec).
#include "platform/process_privileges.h"

namespace {

void UndumpableFromTheStart(int, char**, char**) {
  BecomeUndumpable();
}

}  // namespace

__attribute__((section(".preinit_array"),
               used)) void (*const kBecomeUndumpable)(int, char**, char**) = UndumpableFromTheStart;
