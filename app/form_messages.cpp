#include "app/form_messages.h"

const char* ConversionMessageTemplate(NumberKind kind) {
  return kind == NumberKind::kInteger ? "'%s' は整数ではありません"
                                      : "'%s' は浮動小数点数ではありません";
}

std::string FormMessageTemplate(const FormConversionError& error) {
  switch (error.problem) {
    case FormProblem::kNotANumber:
      return ConversionMessageTemplate(error.kind);
    case FormProblem::kOutOfRange:
      // The conversion messages' form: "'%s' is not an integer from L to H",
      // "... not a finite floating-point number of 0 or more".
      if (error.kind == NumberKind::kInteger)
        return "'%s' は " + std::to_string(error.low) + " から " + std::to_string(error.high) +
               " までの整数ではありません";
      return "'%s' は 0 以上の有限の浮動小数点数ではありません";
    case FormProblem::kSexNotSet:
      return "Sex is not set: choose Male or Female";
    case FormProblem::kImplausible:
      return error.field == FormField::kHeight
                 ? "Height '%s' cm is no patient's: 20 to 250 cm, or 0 to leave it out"
                 : "Weight '%s' kg is no patient's: 0.5 to 400 kg, or 0 to leave it out";
  }
  return ConversionMessageTemplate(error.kind);
}

const char* ControlOfField(FormField field) {
  switch (field) {
    case FormField::kSex:
      return "rbM";
    case FormField::kHeartRate:
      return "edHR";
    case FormField::kPixelSize:
      return "edPix";
    case FormField::kThickness:
      return "edThick";
    case FormField::kHeight:
      return "edHeight";
    case FormField::kWeight:
      return "edWeight";
    case FormField::kGates:
      return "edDiv";
    case FormField::kFrames:
      return "edFrm";
  }
  return "";
}
