// What both helper programs do as processes, before and around their
// confinement (sandbox.h): the limits, the signals, the one line of reason,
// and the input taken whole.
#pragma once

#include <cstddef>
#include <string>

// 30 s of CPU, at most 512 MiB of address space (or the lower limit the
// converter set, sized from the study), no core file.
void LimitResources();

// Default dispositions and an open mask, whatever the converter had: the CPU
// limit must end the process with SIGXCPU, a crash with its own signal.
void ResetSignals();

// The reason as one line on standard error; returns status.
int Fail(int status, const std::string& why);

// The input, whole: mapped when it is a regular file (no copy, and no page
// of it zeroed first; the mapping is made before the filter, which forbids
// file mappings), else read.
struct Input {
  const char* data = nullptr;
  std::size_t size = 0;
  bool mapped = false;
  std::string read;  // the bytes when not mapped
};

// Standard input as given (the converter's open file, from its offset: the
// start), whole. A file cut short while mapped ends the helper by SIGBUS,
// which the converter reports as a crash.
bool TakeStandardInput(Input& input, std::string& why);

// A person who runs a helper by hand with --help or --version gets its words
// on standard output: true when argv asked for them (the helper then ends
// with 0). usage describes the program; the converter never passes these.
bool AnswerHelpOrVersion(int argc, char** argv, const char* name, const char* usage);

// For the helpers' hidden --self-test ids: the ids, the flags and the limits
// the sandbox leaves before its filter goes on, as one line, and whether the
// program was dumpable when its main() began (dumpableAtMain: what
// DumpableState() said there).
std::string ConfinedIdentity(int dumpableAtMain);
