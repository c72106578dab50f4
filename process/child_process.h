// Runs a program by its absolute path with an argument vector (no shell,
// no PATH), its standard output and error captured together, within a
// deadline. The child dies with the thread that started it. On request it
// also gets a report channel: a pipe whose write end it finds as descriptor
// kChildReportFd (child_launcher.h), for a few lines that are not for a
// person, kept up to the same limit as the output.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

struct ChildResult {
  int exitCode = -1;  // -1 when it did not exit normally
  int signal = 0;     // the signal that ended it, 0 if none
  bool timedOut = false;
  std::string output;  // at most the limit given, the rest dropped
  std::string report;  // what it wrote on the report channel
};

ChildResult RunChild(const std::vector<std::string>& argv, int deadlineSeconds,
                     std::size_t outputLimit, bool reportChannel = false);

#include "platform/child_launcher.h"  // kChildReportFd
#include "platform/program_folder.h"  // ProgramFolder, where the children are run from
