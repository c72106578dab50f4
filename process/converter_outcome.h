// What a dicom2gsd child takes, and what its exit status and output mean,
// for every front end that converts through one (the node, dicom2gsd's
// folder mode).
#pragma once

#include <string>
#include <vector>

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
// The caveats of dicom2gsd's output: the text of each "warning:" line.
std::vector<std::string> ConverterWarnings(const std::string& output);
// Whether the output says the study was declined (a question answered No)
// rather than unreadable: the refusal names the option that converts it.
bool ConverterDeclined(const std::string& output);
// The hint dicom2gsd puts after a declined study's reason.
extern const char* const kDeclinedNonNmHint;
extern const char* const kDeclinedProjectionsHint;
