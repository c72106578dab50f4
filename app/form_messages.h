// The window's words for a field that Save cannot take, in the operator's
// language, with %s standing for the field's text as typed.
#pragma once

#include <string>

#include "form/study_form.h"

// The message for a failed conversion: not an integer, not a number.
const char* ConversionMessageTemplate(NumberKind kind);

// The message for any Save problem: the conversion messages, and the range
// messages in the same form.
std::string FormMessageTemplate(const FormConversionError& error);

// The name of the window's control that holds field, to focus it.
const char* ControlOfField(FormField field);
