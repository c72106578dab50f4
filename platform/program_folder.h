// Where the running program lies, as the operating system resolved it: the
// folder its helpers and children are run from, never a name looked up in
// a search path.
#pragma once

#include <string>

// The folder of the running program, absolute; empty when it cannot be told.
std::string ProgramFolder();

// The absolute path of the program name beside the running one; empty when
// the folder cannot be told (a child is then not started rather than run
// from the root or the current folder).
std::string ProgramBeside(const std::string& name);
