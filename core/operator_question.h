// The one question the DICOM input asks the operator, kept toolkit-free: the
// window answers it with a message box, the command line with a flag.
#pragma once

#include <functional>

// Returns true when the operator answers Yes.
using YesNoQuestion = std::function<bool(const char* text, const char* caption)>;

// Installs the handler; without one every question is answered No.
void SetYesNoQuestion(YesNoQuestion handler);

bool AskOperatorYesNo(const char* text, const char* caption);
