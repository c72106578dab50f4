// The study as the window shows it: field texts and the sex choice, with the
// conversions between them and StudyRecord. Toolkit-free, so that the window
// and the command-line converter store exactly the same record.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "model/study_state.h"

// The record's sex is "M", "F" or empty; empty (the file gave none that
// counts) is shown as neither choice and never guessed.
enum class FormSex { kUnknown, kMale, kFemale };

// The gate and frame counts of the loaded study. The store holds no frames
// beyond them, so Save refuses larger counts rather than write zeros.
struct LoadedCounts {
  int gates = 0;  // as the record holds it: 0 or 1 for an ungated study
  int frames = 0;
};

struct StudyFormTexts {
  std::string id, name, date, time, tracer, comment;
  std::string heartRate = "0", gates = "0", frames = "0";
  std::string pixelSize = "0.0", thickness = "0.0";
  std::string height = "0", weight = "0";
  FormSex sex = FormSex::kUnknown;
  LoadedCounts loaded;
};

// Copies what a load shows into the texts, the loaded counts included;
// height and weight stay as typed.
void FillFormTexts(const TStudyRecord& record, StudyFormTexts& texts);

LoadedCounts LoadedCountsOf(const TStudyRecord& record);

enum class NumberKind { kInteger, kFloat };

// The fields a Save can stop at.
enum class FormField {
  kSex,
  kHeartRate,
  kPixelSize,
  kThickness,
  kHeight,
  kWeight,
  kGates,
  kFrames
};

enum class FormProblem {
  kNotANumber,   // the text does not convert
  kOutOfRange,   // it converts, to a value the record cannot hold or the store has no frames for
  kSexNotSet,    // neither Male nor Female is chosen
  kImplausible,  // a height or weight no patient has (0 leaves it out)
};

// The heights and weights of patients; 0 leaves either out of the file.
constexpr double kLeastHeightCm = 20, kMostHeightCm = 250;
constexpr double kLeastWeightKg = 0.5, kMostWeightKg = 400;

struct FormConversionError {
  FormField field;
  NumberKind kind;
  std::string text;  // the field's text as typed
  FormProblem problem = FormProblem::kNotANumber;
  // For an integer out of range: the values the field takes.
  std::int32_t low = 0, high = 0;
};

// Stores the texts into the record in Save order: texts, sex, then the
// numbers. Returns the first problem: an unset sex, or the first number that
// does not convert or is out of range; fields stored before it keep their
// new values and later ones are untouched. Heart Rate takes what the
// record's 16 bits hold; R-R Divisions and Frames at most the loaded counts
// (the loaded values themselves always); height and weight 0 (not given) or
// a positive 32-bit float.
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
