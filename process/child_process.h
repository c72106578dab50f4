// Runs a program by its absolute path with an argument vector (no shell,
// no PATH), its standard output and error captured together, within a
// deadline. The child dies with the thread that started it.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

struct ChildResult {
  int exitCode = -1;  // -1 when it did not exit normally
  int signal = 0;     // the signal that ended it, 0 if none
  bool timedOut = false;
  std::string output;  // at most the limit given, the rest dropped
};

ChildResult RunChild(const std::vector<std::string>& argv, int deadlineSeconds,
                     std::size_t outputLimit);

// The folder of the running program (from /proc/self/exe), absolute; empty
// when it cannot be told.
std::string ProgramFolder();
