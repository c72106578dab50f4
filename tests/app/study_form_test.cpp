// The study form model: what a load shows, what Save stores, and the number
// syntax of the edit fields.
#include "study_form.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>

namespace {

struct IntegerCase {
  const char* text;
  bool ok;
  std::int32_t value;
};

const IntegerCase kIntegerCases[] = {
    {"75", true, 75},
    {"  75", true, 75},
    {"+75", true, 75},
    {"-1", true, -1},
    {"75 ", false, 0},
    {"", false, 0},
    {" ", false, 0},
    {"-", false, 0},
    {"7 5", false, 0},
    {"0x10", false, 0},
    {"1.0", false, 0},
    {"2147483647", true, 2147483647},
    {"-2147483648", true, INT32_MIN},
    {"2147483648", false, 0},
    {"99999999999999999999", false, 0},
    {"65538", true, 65538},
};

TEST(ParseFormInteger, Syntax) {
  for (const IntegerCase& c : kIntegerCases) {
    auto value = ParseFormInteger(c.text);
    EXPECT_EQ(value.has_value(), c.ok) << "'" << c.text << "'";
    if (c.ok && value) {
      EXPECT_EQ(*value, c.value) << c.text;
    }
  }
}

struct FloatCase {
  const char* text;
  bool ok;
  double value;
};

const FloatCase kFloatCases[] = {
    {"6.4", true, 6.4},  {" 6.4 ", true, 6.4},    {"-1", true, -1.0},  {"+2.5", true, 2.5},
    {"1e3", true, 1000}, {"1.5E-2", true, 0.015}, {"1e+2", true, 100}, {".5", true, 0.5},
    {"5.", true, 5.0},   {"abc", false, 0},       {"", false, 0},      {"  ", false, 0},
    {"6,4", false, 0},   {"1e", false, 0},        {"inf", false, 0},   {"nan", false, 0},
    {"0x1p3", false, 0}, {"1e999", false, 0},     {"--1", false, 0},   {".", false, 0},
};

TEST(ParseFormFloat, Syntax) {
  for (const FloatCase& c : kFloatCases) {
    auto value = ParseFormFloat(c.text);
    EXPECT_EQ(value.has_value(), c.ok) << "'" << c.text << "'";
    if (c.ok && value) {
      EXPECT_DOUBLE_EQ(*value, c.value) << c.text;
    }
  }
}

TEST(FormatFormFloat, GeneralFormatWithFifteenDigits) {
  EXPECT_EQ(FormatFormFloat(6.4), "6.4");
  EXPECT_EQ(FormatFormFloat(0.0), "0");
  EXPECT_EQ(FormatFormFloat(-1.0), "-1");
  EXPECT_EQ(FormatFormFloat(-2.0), "-2");
  EXPECT_EQ(FormatFormFloat(12.8), "12.8");
  EXPECT_EQ(FormatFormFloat(4.41806), "4.41806");
  EXPECT_EQ(ParseFormFloat(FormatFormFloat(0.1 + 0.2)).value(), 0.3);  // 15 digits round
}

TStudyRecord LoadedRecord() {
  TStudyRecord r{};
  std::strcpy(r.patientId, "A 12");
  std::strcpy(r.patientName, "ANON^A");
  std::strcpy(r.studyDate, "2001.03.15");
  std::strcpy(r.studyTime, "14:30:05");
  std::strcpy(r.tracer, "TL201");
  std::strcpy(r.sex, "M");
  r.heartRate = -1;
  r.gateCount = 8;
  r.frameCount = 32;
  r.pixelSize = 6.4;
  r.sliceThickness = -1.0;
  return r;
}

TEST(StudyForm, RoundTripStoresTheSameRecord) {
  TStudyRecord loaded = LoadedRecord();
  StudyFormTexts texts;
  FillFormTexts(loaded, texts);
  EXPECT_EQ(texts.heartRate, "-1");
  EXPECT_EQ(texts.pixelSize, "6.4");
  EXPECT_EQ(texts.thickness, "-1");
  EXPECT_EQ(texts.height, "0");
  EXPECT_TRUE(texts.male);
  TStudyRecord stored = loaded;
  ASSERT_FALSE(StoreFormTexts(texts, stored).has_value());
  EXPECT_EQ(std::memcmp(&stored, &loaded, sizeof stored), 0);
}

TEST(StudyForm, EmptySexShowsFemaleAndStoresF) {
  TStudyRecord record = LoadedRecord();
  record.sex[0] = '\0';
  StudyFormTexts texts;
  FillFormTexts(record, texts);
  EXPECT_FALSE(texts.male);
  ASSERT_FALSE(StoreFormTexts(texts, record).has_value());
  EXPECT_STREQ(record.sex, "F");
}

TEST(StudyForm, FirstFailingNumberIsReportedAndEarlierOnesStay) {
  TStudyRecord record = LoadedRecord();
  StudyFormTexts texts;
  FillFormTexts(record, texts);
  texts.name = "NEW^NAME";
  texts.heartRate = "75 ";
  texts.pixelSize = "abc";
  auto error = StoreFormTexts(texts, record);
  ASSERT_TRUE(error.has_value());
  EXPECT_STREQ(error->field, "edHR");
  EXPECT_EQ(error->kind, NumberKind::kInteger);
  EXPECT_EQ(error->text, "75 ");
  EXPECT_STREQ(record.patientName, "NEW^NAME");  // texts are stored first

  texts.heartRate = "75";
  error = StoreFormTexts(texts, record);
  ASSERT_TRUE(error.has_value());
  EXPECT_STREQ(error->field, "edPix");
  EXPECT_EQ(error->kind, NumberKind::kFloat);
  EXPECT_EQ(record.heartRate, 75);          // stored before the failing field
  EXPECT_DOUBLE_EQ(record.pixelSize, 6.4);  // untouched
}

TEST(StudyForm, NumbersKeepTheirWidths) {
  TStudyRecord record = LoadedRecord();
  StudyFormTexts texts;
  FillFormTexts(record, texts);
  texts.gates = "65538";
  texts.heartRate = "-65535";
  texts.frames = "2147483647";
  texts.height = "170.1";
  texts.weight = "1e300";
  ASSERT_FALSE(StoreFormTexts(texts, record).has_value());
  EXPECT_EQ(record.gateCount, 2);
  EXPECT_EQ(record.heartRate, 1);
  EXPECT_EQ(record.frameCount, 2147483647);
  EXPECT_EQ(record.height, 170.1f);
  EXPECT_TRUE(std::isinf(record.weight));
}

TEST(StudyForm, TextsAreCutToTheirFields) {
  TStudyRecord record = LoadedRecord();
  StudyFormTexts texts;
  FillFormTexts(record, texts);
  texts.id = std::string(100, 'i');
  texts.name = std::string(100, 'n');
  texts.date = std::string(100, 'd');
  texts.time = std::string(100, 't');
  texts.tracer = std::string(100, 'r');
  texts.comment = std::string(100, 'c');
  ASSERT_FALSE(StoreFormTexts(texts, record).has_value());
  EXPECT_EQ(std::strlen(record.patientId), 39u);
  EXPECT_EQ(std::strlen(record.patientName), 49u);
  EXPECT_EQ(std::strlen(record.studyDate), 10u);
  EXPECT_EQ(std::strlen(record.studyTime), 12u);
  EXPECT_EQ(std::strlen(record.tracer), 19u);
  EXPECT_EQ(std::strlen(record.comment), 79u);
}

TEST(StudyForm, MessagesNameTheKind) {
  EXPECT_STREQ(ConversionMessageTemplate(NumberKind::kInteger), "'%s' は整数ではありません");
  EXPECT_STREQ(ConversionMessageTemplate(NumberKind::kFloat), "'%s' は浮動小数点数ではありません");
}

}  // namespace
