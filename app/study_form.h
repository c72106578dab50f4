// The study as the window shows it: field texts and the sex choice, with the
// conversions between them and StudyRecord. Toolkit-free, so that the window
// and the command-line converter store exactly the same record.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "study_state.h"

struct StudyFormTexts {
  std::string id, name, date, time, tracer, comment;
  std::string heartRate = "0", gates = "0", frames = "0";
  std::string pixelSize = "0.0", thickness = "0.0";
  std::string height = "0", weight = "0";
  bool male = true;
};

// Copies what a load shows into the texts; height and weight stay as typed.
void FillFormTexts(const TStudyRecord& record, StudyFormTexts& texts);

enum class NumberKind { kInteger, kFloat };

struct FormConversionError {
  const char* field;  // "edHR", "edPix", ...
  NumberKind kind;
  std::string text;  // the field's text as typed
};

// Stores the texts into the record in Save order: texts, sex, then the
// numbers. Returns the first number that does not convert; fields stored
// before it keep their new values and later ones are untouched.
std::optional<FormConversionError> StoreFormTexts(const StudyFormTexts& texts,
                                                  TStudyRecord& record);

// Optional leading blanks, optional sign, decimal digits, nothing else;
// within the int32 range.
std::optional<std::int32_t> ParseFormInteger(const std::string& text);

// Blanks around, optional sign, digits with an optional "." fraction, an
// optional exponent. Empty fails.
std::optional<double> ParseFormFloat(const std::string& text);

// General format with 15 significant digits: 6.4 gives "6.4", 0 gives "0".
std::string FormatFormFloat(double value);

// The operator's message for a failed conversion, UTF-8, with %s standing
// for the field's text.
const char* ConversionMessageTemplate(NumberKind kind);
