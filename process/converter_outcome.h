// What a dicom2gsd child takes, and what its run came to, for every front
// end that converts through one (the node, dicom2gsd's folder mode). The
// child says it on a descriptor of its own (--outcome-fd N): one JSON object
// on one line, so that no front end reads a verdict from the child's words.
#pragma once

#include <string>
#include <vector>

#include "process/child_process.h"

// A conversion takes milliseconds; a decoder helper has 120 s of its own.
constexpr int kConverterDeadlineSeconds = 300;

// Whether an object goes to the converter: Modality NM; with acceptNonNm
// (dicom2gsd's --accept-non-nm) also an NM Image Storage object whose
// Modality says otherwise.
bool GoesToConverter(const std::string& modality, const std::string& sopClassUid, bool acceptNonNm);

// The outcome of an exit status: converted, short, no-memory or failed.
const char* OutcomeOfExit(int exitCode);
// The status a run of many conversions takes from one child's exit: 0, 4
// and 8 as they are; any other (a usage error, a program that did not
// start, no exit at all: -1) is a failure, 1.
int StatusOfExit(int exitCode);

// The outcome line: {"status":N,"kind":"...","reason":"...","warnings":[...],
// "output":"..."}; after a load of a gated study with counts also
// "worstGate":N,"worstGatePercent":N, and "gating":"..." when the gating
// looks irregular. The texts are as dicom2gsd's
// stderr shows them, without its name: reason the failure's words after the
// input's name (a write failure names the output), each warning after
// "warning: ".
struct ConverterOutcome {
  int status = 1;    // the exit status
  std::string kind;  // converted, declined (a question answered No), failed, short, no-memory
  std::string reason;
  std::vector<std::string> warnings;
  std::string output;  // the GSD written; empty when none
  // The gate (1-based) whose total counts lie farthest from the mean of all
  // gates, and that difference in whole per cent; 0 when no gated study was
  // loaded. The converter's own count, so that nobody decodes it twice.
  int worstGate = 0;
  int worstGatePercent = 0;
  // Why the gating looks irregular at the converter's tolerance, in short
  // ("gates 14-16 (-26 %)"); empty when it looks regular.
  std::string gating;
};
extern const char* const kOutcomeDeclined;

// The line, with its line feed.
std::string FormatOutcomeLine(const ConverterOutcome& outcome);
// False unless text is one such object (white space around it allowed).
bool ParseOutcomeLine(const std::string& text, ConverterOutcome& outcome);

// What a child run with RunChild's report channel came to. outputWritten:
// whether the GSD it was to write is there, complete and not empty. The
// child's line counts when it ended by the status the line gives; a child
// that wrote none, or that the deadline or a signal ended, is judged by its
// end alone, its reason its last line of output.
ConverterOutcome OutcomeOfChild(const ChildResult& run, bool outputWritten);

// The hint dicom2gsd puts after a declined study's reason.
extern const char* const kDeclinedNonNmHint;
extern const char* const kDeclinedProjectionsHint;
