// A program file opened while this process can still reach it and run
// later through that open file: after a change of user (who may not enter
// the folders on its path) no path is looked up again. The system checks
// the execute permission of the file itself, not of the folders above it.
#pragma once

#include <string>
#include <vector>

// The program at path, held: a descriptor that is closed across exec, or -1
// when it cannot be opened or is no regular file.
int HoldProgram(const std::string& path);

// Becomes the held program with argv and an empty environment; returns, with
// the system's error number, only when it could not.
int RunHeldProgram(int program, const std::vector<std::string>& argv);
