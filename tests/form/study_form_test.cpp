// The study form model: what a load shows, what Save stores, and the number
// syntax of the edit fields.
#include "form/study_form.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <optional>
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
    {"-2147483649", false, 0},
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
  EXPECT_EQ(texts.sex, FormSex::kMale);
  TStudyRecord stored = loaded;
  ASSERT_FALSE(StoreFormTexts(texts, stored).has_value());
  EXPECT_EQ(std::memcmp(&stored, &loaded, sizeof stored), 0);
}

// The record's sex is shown as it is, an empty one as neither choice; Save
// stores a choice and refuses none, before any number.
TEST(StudyForm, SexIsNeverGuessed) {
  const struct {
    const char* recordSex;
    FormSex shown;
  } shows[] = {{"M", FormSex::kMale}, {"F", FormSex::kFemale}, {"", FormSex::kUnknown}};
  for (const auto& c : shows) {
    TStudyRecord record = LoadedRecord();
    std::strcpy(record.sex, c.recordSex);
    StudyFormTexts texts;
    FillFormTexts(record, texts);
    EXPECT_EQ(texts.sex, c.shown) << "'" << c.recordSex << "'";
  }
  const struct {
    FormSex chosen;
    const char* stored;  // nullptr: refused
  } stores[] = {{FormSex::kMale, "M"}, {FormSex::kFemale, "F"}, {FormSex::kUnknown, nullptr}};
  for (const auto& c : stores) {
    TStudyRecord record = LoadedRecord();
    record.sex[0] = '\0';
    StudyFormTexts texts;
    FillFormTexts(record, texts);
    texts.sex = c.chosen;
    texts.heartRate = "abc";  // the sex is checked before the numbers
    auto error = StoreFormTexts(texts, record);
    ASSERT_TRUE(error.has_value());
    if (c.stored != nullptr) {
      EXPECT_EQ(error->field, FormField::kHeartRate);
      EXPECT_STREQ(record.sex, c.stored);
    } else {
      EXPECT_EQ(error->field, FormField::kSex);
      EXPECT_EQ(error->problem, FormProblem::kSexNotSet);
      EXPECT_STREQ(record.sex, "") << "nothing stored for an unset sex";
      EXPECT_EQ(record.heartRate, -1);
    }
  }
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
  EXPECT_EQ(error->field, FormField::kHeartRate);
  EXPECT_EQ(error->kind, NumberKind::kInteger);
  EXPECT_EQ(error->text, "75 ");
  EXPECT_STREQ(record.patientName, "NEW^NAME");  // texts are stored first

  texts.heartRate = "75";
  error = StoreFormTexts(texts, record);
  ASSERT_TRUE(error.has_value());
  EXPECT_EQ(error->field, FormField::kPixelSize);
  EXPECT_EQ(error->kind, NumberKind::kFloat);
  EXPECT_EQ(record.heartRate, 75);          // stored before the failing field
  EXPECT_DOUBLE_EQ(record.pixelSize, 6.4);  // untouched
}

TEST(StudyForm, NumbersKeepTheirWidths) {
  TStudyRecord record = LoadedRecord();
  StudyFormTexts texts;
  FillFormTexts(record, texts);
  texts.gates = "3";
  texts.heartRate = "-32768";
  texts.frames = "31";
  texts.height = "170.1";
  texts.weight = "1e-50";  // positive, but 0 as a 32-bit float
  ASSERT_FALSE(StoreFormTexts(texts, record).has_value());
  EXPECT_EQ(record.gateCount, 3);
  EXPECT_EQ(record.heartRate, -32768);
  EXPECT_EQ(record.frameCount, 31);
  EXPECT_EQ(record.height, 170.1f);
  EXPECT_EQ(record.weight, 0.0f);
}

// Values that convert but that the record cannot hold or the store has no
// frames for. The loaded study has 8 gates of 32 frames unless a row says
// otherwise.
TEST(StudyForm, SaveTakesOnlyPlausibleNumbers) {
  const struct {
    std::string StudyFormTexts::*text;
    const char* typed;
    std::optional<FormField> refusedField;  // none: stored
    std::int32_t low, high;                 // the range an integer refusal names
    int loadedGates = 8;
  } cases[] = {
      {&StudyFormTexts::heartRate, "32767", std::nullopt, 0, 0},
      {&StudyFormTexts::heartRate, "32768", FormField::kHeartRate, -32768, 32767},
      {&StudyFormTexts::heartRate, "65538", FormField::kHeartRate, -32768, 32767},  // no wrap to 2
      {&StudyFormTexts::gates, "0", std::nullopt, 0, 0},
      {&StudyFormTexts::gates, "9", FormField::kGates, 0, 8},
      {&StudyFormTexts::gates, "65544", FormField::kGates, 0, 8},  // 8 in its low 16 bits
      {&StudyFormTexts::gates, "-1", FormField::kGates, 0, 8},
      {&StudyFormTexts::gates, "1", std::nullopt, 0, 0, 0},  // an ungated study's one gate
      {&StudyFormTexts::gates, "2", FormField::kGates, 0, 1, 0},
      {&StudyFormTexts::gates, "-1", std::nullopt, 0, 0, -1},  // as loaded
      {&StudyFormTexts::frames, "32", std::nullopt, 0, 0},
      {&StudyFormTexts::frames, "33", FormField::kFrames, 0, 32},
      {&StudyFormTexts::frames, "-2", FormField::kFrames, 0, 32},
      {&StudyFormTexts::height, "0", std::nullopt, 0, 0},
      {&StudyFormTexts::height, "-170", FormField::kHeight, 0, 0},
      {&StudyFormTexts::height, "1e39", FormField::kHeight, 0, 0},  // beyond a 32-bit float
      {&StudyFormTexts::weight, "-0.5", FormField::kWeight, 0, 0},
      {&StudyFormTexts::weight, "1e300", FormField::kWeight, 0, 0},
  };
  for (const auto& c : cases) {
    TStudyRecord record = LoadedRecord();
    record.gateCount = static_cast<std::int16_t>(c.loadedGates);
    StudyFormTexts texts;
    FillFormTexts(record, texts);
    texts.*c.text = c.typed;
    const TStudyRecord before = record;
    auto error = StoreFormTexts(texts, record);
    ASSERT_EQ(error.has_value(), c.refusedField.has_value()) << c.typed;
    if (!error) continue;
    EXPECT_EQ(error->field, *c.refusedField) << c.typed;
    EXPECT_EQ(error->problem, FormProblem::kOutOfRange) << c.typed;
    EXPECT_EQ(error->text, c.typed);
    if (error->kind == NumberKind::kInteger) {
      EXPECT_EQ(error->low, c.low) << c.typed;
      EXPECT_EQ(error->high, c.high) << c.typed;
    }
    EXPECT_EQ(record.heartRate, before.heartRate) << c.typed;
    EXPECT_EQ(record.gateCount, before.gateCount) << c.typed;
    EXPECT_EQ(record.frameCount, before.frameCount) << c.typed;
  }
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

}  // namespace
