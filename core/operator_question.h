// The questions the DICOM input asks the operator, kept toolkit-free: the
// window answers them with a message box, the command line with flags.
#pragma once

#include <functional>
#include <string>

enum class QuestionKind {
  kNonNmModality,     // Modality other than "NM"
  kNotReconstructed,  // Image Type names projections or planar images
};

struct OperatorQuestion {
  QuestionKind kind;
  const char* text;
  const char* caption;
  bool defaultYes;    // which button Enter presses
  std::string found;  // what the file holds, e.g. "Modality: CT"
};

// Returns true when the operator answers Yes.
using YesNoQuestion = std::function<bool(const OperatorQuestion& question)>;
