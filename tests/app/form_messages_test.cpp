// The window's words for fields that Save cannot take, and the controls that
// hold them.
#include "app/form_messages.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(FormMessages, NameTheKindAndTheRange) {
  EXPECT_STREQ(ConversionMessageTemplate(NumberKind::kInteger), "'%s' は整数ではありません");
  EXPECT_STREQ(ConversionMessageTemplate(NumberKind::kFloat), "'%s' は浮動小数点数ではありません");
  FormConversionError range{
      FormField::kGates, NumberKind::kInteger, "9", FormProblem::kOutOfRange, 0, 8};
  EXPECT_EQ(FormMessageTemplate(range), "'%s' は 0 から 8 までの整数ではありません");
  range.kind = NumberKind::kFloat;
  EXPECT_EQ(FormMessageTemplate(range), "'%s' は 0 以上の有限の浮動小数点数ではありません");
}

TEST(FormMessages, EveryFieldHasItsControl) {
  const struct {
    FormField field;
    const char* control;
  } rows[] = {{FormField::kSex, "rbM"},         {FormField::kHeartRate, "edHR"},
              {FormField::kPixelSize, "edPix"}, {FormField::kThickness, "edThick"},
              {FormField::kHeight, "edHeight"}, {FormField::kWeight, "edWeight"},
              {FormField::kGates, "edDiv"},     {FormField::kFrames, "edFrm"}};
  for (const auto& row : rows) EXPECT_STREQ(ControlOfField(row.field), row.control);
}

}  // namespace
