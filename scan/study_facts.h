// What one DICOM file tells about the study it holds, read from its header
// alone (header_facts, DCMTK up to Pixel Data): enough to list it and to
// name its output. Nothing process-wide is touched, so a scan may run beside
// a window.
#pragma once

#include <string>

#include "scan/header_facts.h"

struct StudyFacts : HeaderFacts {
  std::string path;
  int gates = 1;          // Number of Time Slots, 1 when absent
  int framesPerGate = 0;  // as the loader counts them (frame_count.h)
  bool gated = false;     // more than one time slot
};

enum class FactsResult {
  kStudy,       // a DICOM file; facts filled
  kNotDicom,    // not DICOM at all: passed over without a word
  kUnreadable,  // cannot be opened or read: the caller says why
};

// Reads the header of the regular file open as fd (named path). error says
// why for kUnreadable.
FactsResult ReadStudyFacts(int fd, const std::string& path, StudyFacts& facts, std::string& error);
