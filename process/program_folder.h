// Where the running program lies, as the kernel resolved it: the folder its
// helpers and children are run from, never a name looked up in PATH.
#pragma once

#include <string>

// The folder of the running program (from /proc/self/exe), absolute; empty
// when it cannot be told.
std::string ProgramFolder();
