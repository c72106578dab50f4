// The questions the DICOM input asks the operator, kept toolkit-free: the
// window answers them with a message box, the command line with flags.
#pragma once

#include <functional>

enum class QuestionKind {
  kNonNmModality,     // Modality other than "NM"
  kNotReconstructed,  // Image Type names projections or planar images
};

struct OperatorQuestion {
  QuestionKind kind;
  const char* text;
  const char* caption;
  bool defaultYes;  // which button Enter presses
};

// Returns true when the operator answers Yes.
using YesNoQuestion = std::function<bool(const OperatorQuestion& question)>;

// Installs the handler; without one every question is answered No.
void SetYesNoQuestion(YesNoQuestion handler);

bool AskOperatorYesNo(const OperatorQuestion& question);
