// The study header scan on pydicom-written studies: field rules, closing
// rules, the non-NM question and the Pixel Data offset.
#include "core/header_scan.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <string>
#include <vector>

#include "core/load_report.h"
#include "core/operator_question.h"
#include "model/gate_curve.h"
#include "model/study_state.h"
#include "tests/test_support.h"

namespace {

long FileSize(const std::string& path) {
  struct stat info;
  return ::stat(path.c_str(), &info) == 0 ? static_cast<long>(info.st_size) : -1;
}

class ScanStudyHeaderTest : public FreshStateTest {
 protected:
  std::int32_t ScanFresh(const std::string& name) {
    std::memset(&study.record, 0, sizeof study.record);
    return Scan(DataFile(name));
  }
};

// Answers every question of the load that options set up, recording it.
class AnswerQuestions {
 public:
  AnswerQuestions(LoadOptions& options, bool yes) : options_(options) {
    options_.ask = [this, yes](const OperatorQuestion& q) {
      asked.push_back(std::string(q.caption) + "|" + q.text + (q.defaultYes ? "|Yes" : "|No"));
      found.push_back(q.found);
      return yes;
    };
  }
  ~AnswerQuestions() { options_.ask = nullptr; }
  std::vector<std::string> asked;
  std::vector<std::string> found;  // what each question said the file holds

 private:
  LoadOptions& options_;
};

struct SizeCase {
  const char* file;
  double pixelSize;
  double thickness;
};

const SizeCase kSizeCases[] = {
    {"gated64", 6.4, 6.4},
    {"no_sizes", -1.0, -1.0},
    {"thick1_nospacing_px64", 6.4, 6.4},  // exactly 1.0 becomes the pixel size
    {"spacing1_nothick_px64", 6.4, 6.4},
    {"thick1_spacing64", 6.4, 6.4},  // the larger of the two
    {"thick1_nopixel", -1.0, -1.0},
    {"thick32_spacing0", 6.4, 3.2},
    {"zero_pixel", 0.0, 6.4},
    {"ds_inf", 0.0, 0.0},             // "inf" and "nan" are no DICOM decimal numbers
    {"gated128", 3.2, 6.4},           // the scan does not double; the loader does
    {"nested_attributes", 6.4, 6.4},  // not the 6.8 and 9.9 of nested sequences
    {"nested_attributes_implicit", 6.4, 6.4},
};

TEST_F(ScanStudyHeaderTest, ClosingRulesForSizes) {
  for (const SizeCase& c : kSizeCases) {
    ASSERT_GT(ScanFresh(c.file), 0) << c.file;
    EXPECT_DOUBLE_EQ(study.record.pixelSize, c.pixelSize) << c.file;
    EXPECT_DOUBLE_EQ(study.record.sliceThickness, c.thickness) << c.file;
  }
}

struct TextCase {
  const char* file;
  const char* name;
  const char* id;
  const char* sex;
  const char* date;
  const char* time;
};

const TextCase kTextCases[] = {
    {"gated64", "ANON^A", "A 12", "M", "2001.03.15", "14:30:05"},
    {"name60", "NNNNNNNNNNNNNNNNNNNNNNNNNNNNNN^MMMMMMMMMMMMMMMMMM", "A 12", "M", "2001.03.15",
     "14:30:05"},
    {"name_empty", "No_name", "No_ID", "M", "2001.03.15", "14:30:05"},
    {"name_missing", "", "", "M", "2001.03.15", "14:30:05"},
    {"sex_F", "ANON^A", "A 12", "F", "2001.03.15", "14:30:05"},
    {"sex_lower_m", "ANON^A", "A 12", "M", "2001.03.15", "14:30:05"},
    {"sex_O", "ANON^A", "A 12", "", "2001.03.15", "14:30:05"},  // unknown, never guessed
    {"sex_empty", "ANON^A", "A 12", "", "2001.03.15", "14:30:05"},
    {"sex_missing", "ANON^A", "A 12", "", "2001.03.15", "14:30:05"},
    {"date_empty", "ANON^A", "A 12", "M", "", ""},
    {"date_short", "ANON^A", "A 12", "M", "2001", "14"},
    {"date_dashes", "ANON^A", "A 12", "M", "2026-03-01", "14:30:05"},  // as it stands
    // The old ID, name, sex and date of Original Attributes Sequence and the
    // other ID of Other Patient IDs Sequence are not the study's.
    {"nested_attributes", "ANON^A", "A 12", "M", "2001.03.15", "14:30:05"},
    {"nested_attributes_implicit", "ANON^A", "A 12", "M", "2001.03.15", "14:30:05"},
};

TEST_F(ScanStudyHeaderTest, TextFieldRules) {
  for (const TextCase& c : kTextCases) {
    ASSERT_GT(ScanFresh(c.file), 0) << c.file;
    EXPECT_STREQ(study.record.patientName, c.name) << c.file;
    EXPECT_STREQ(study.record.patientId, c.id) << c.file;
    EXPECT_STREQ(study.record.sex, c.sex) << c.file;
    EXPECT_STREQ(study.record.studyDate, c.date) << c.file;
    EXPECT_STREQ(study.record.studyTime, c.time) << c.file;
  }
}

// The name stays as stored, escape sequences and all; how to show it is
// the report's character set, for the window to decode.
TEST_F(ScanStudyHeaderTest, CharacterSetIsReportedAndTheNameKeptAsStored) {
  const struct {
    const char* file;
    const char* characterSet;
    const char* name;
  } cases[] = {
      {"gated64", "", "ANON^A"},
      {"name_jis", "\\ISO 2022 IR 87", "Yamada^Tarou=\x1b$B;3ED\x1b(B^\x1b$BB@O:\x1b(B"},
  };
  for (const auto& c : cases) {
    ASSERT_GT(ScanFresh(c.file), 0) << c.file;
    EXPECT_EQ(report.characterSet, c.characterSet) << c.file;
    EXPECT_STREQ(study.record.patientName, c.name) << c.file;
  }
}

TEST_F(ScanStudyHeaderTest, ShortDateNeverShowsAnEarlierValue) {
  ASSERT_GT(ScanFresh("gated64"), 0);
  std::memset(&study.record, 0, sizeof study.record);
  std::strcpy(study.record.studyDate, "9999.99.99");
  ASSERT_GT(Scan(DataFile("date_short").c_str()), 0);
  EXPECT_STREQ(study.record.studyDate, "2001");
}

struct NumberCase {
  const char* file;
  std::int16_t heartRate;
  std::int32_t frameCount;
  std::int16_t gateCount;
  std::int16_t matrixSize;
  const char* tracer;
  const char* beats = nullptr;  // BeatsLine of what the scan found; not checked when null
};

const NumberCase kNumberCases[] = {
    {"gated64", 60, 32, 8, 64, "TL201 ",  // Energy Window Name comes first
     "the file holds no Intervals Acquired or Rejected, no R-R window (Low/High R-R Value) in the "
     "file"},
    // The beats, in the Data Information item of the Gated Information Sequence.
    {"gating_flat", 60, 64, 16, 64, "TL201 ",
     "beats kept 1,412 of 1,530 (92 %), window 750-1,000 ms"},
    {"gating_rejected30", 60, 32, 8, 64, "TL201 ",
     "beats kept 700 of 1,000 (70 %), window 750-1,000 ms"},
    {"gating_beats_top", 60, 32, 8, 64, "TL201 ",  // at the top level, as an older file keeps them
     "beats kept 90 (the file holds no Intervals Rejected), window up to 1,200 ms (no Low R-R "
     "Value)"},
    {"hr_empty", -1, 32, 8, 64, "TL201 "},
    {"hr_missing", 0, 32, 8, 64, "TL201 "},
    {"nf256_ns32", 60, 256, 8, 64, "TL201 "},
    {"nf_missing_ns32", 60, 32, 0, 64, "TL201 "},
    {"nf4_ns32", 60, 32, 0, 64, "TL201 "},
    {"nf5_ns32", 60, 5, 0, 64, "TL201 "},  // from 5 frames on, Number of Slices stands aside
    {"tracer_ew_empty", 60, 32, 8, 64, "Tl-201"},           // empty name leaves room
    {"tracer_long", 60, 32, 8, 64, "Tc-99m-Tetrofosmin-"},  // cut after 19
    {"rows_4bytes", 60, 32, 8, 64, "TL201 "},               // and the walk stays aligned
    {"gated128", 60, 32, 8, 128, "TL201 "},
    {"dcmtk_explicit", 0, 1, 1, 64, "EM1 "},
    {"hr_65596", -1, 32, 8, 64, "TL201 "},          // does not fit 16 bits: missing
    {"nested_attributes", 72, 8, 2, 64, "TL201 "},  // rate of the Gated Information item
    {"nested_attributes_implicit", 72, 8, 2, 64, "TL201 "},
    {"un_sequence_defined", 72, 8, 2, 64, "TL201 "},  // in the item of a UN of defined length
};

TEST_F(ScanStudyHeaderTest, NumberAndTracerRules) {
  for (const NumberCase& c : kNumberCases) {
    ASSERT_GT(ScanFresh(c.file), 0) << c.file;
    EXPECT_EQ(study.record.heartRate, c.heartRate) << c.file;
    EXPECT_EQ(study.record.frameCount, c.frameCount) << c.file;
    EXPECT_EQ(study.record.gateCount, c.gateCount) << c.file;
    EXPECT_EQ(study.record.matrixSize, c.matrixSize) << c.file;
    EXPECT_STREQ(study.record.tracer, c.tracer) << c.file;
    if (c.beats != nullptr) {
      EXPECT_EQ(BeatsLine(study.found.beats), c.beats) << c.file;
    }
  }
  // The rest of the Data Information item, shown beside the beats.
  ASSERT_GT(ScanFresh("gating_flat"), 0);
  EXPECT_EQ(study.found.beats.skipBeats, 1);
  EXPECT_EQ(study.found.beats.nominalInterval, 880);
  EXPECT_EQ(study.found.beats.frameTime, 110.0);
}

TEST_F(ScanStudyHeaderTest, ResultIsTheOffsetOfThePixelValues) {
  // Pixel Data is the last element, so its value starts at size - bytes.
  struct {
    const char* file;
    long pixelBytes;
  } const cases[] = {{"gated64", 32 * 8192},
                     {"gated64_implicit", 32 * 8192},
                     {"gated128", 32 * 32768},
                     {"dcmtk_explicit", 8192}};
  for (const auto& c : cases) {
    std::int32_t offset = ScanFresh(c.file);
    EXPECT_EQ(offset, FileSize(DataFile(c.file)) - c.pixelBytes) << c.file;
  }
}

TEST_F(ScanStudyHeaderTest, TwelveAndEightByteHeadersAhead) {
  // The same study explicitly (OW: 12-byte header) and implicitly (8 bytes).
  std::string explicitBytes = ReadBytes(DataFile("gated64"));
  std::string implicitBytes = ReadBytes(DataFile("gated64_implicit"));
  std::int32_t e = ScanFresh("gated64");
  std::int32_t i = ScanFresh("gated64_implicit");
  EXPECT_EQ(explicitBytes.substr(static_cast<std::size_t>(e) - 12, 8),
            Le16(0x7FE0) + Le16(0x0010) + "OW" + Le16(0));
  EXPECT_EQ(implicitBytes.substr(static_cast<std::size_t>(i) - 8, 4), Le16(0x7FE0) + Le16(0x0010));
}

TEST_F(ScanStudyHeaderTest, AnIconImageIsPassedOver) {
  // The icon's Rows and Pixel Data come before the study's in file order;
  // only the top-level ones describe the study.
  for (const char* name : {"icon_explicit", "icon_implicit_undefined", "icon_implicit_defined",
                           "icon64_16bit", "icon64_8bit"}) {
    EXPECT_EQ(ScanFresh(name), FileSize(DataFile(name)) - 8192) << name;
    EXPECT_EQ(study.record.matrixSize, 64) << name;
    EXPECT_EQ(found.bitsAllocated, 16) << name;
  }
}

TEST_F(ScanStudyHeaderTest, FailuresGiveScanFailedAndKeepWhatWasFound) {
  EXPECT_EQ(ScanFresh("before_pixel"), kScanFailed);
  EXPECT_STREQ(study.record.patientName, "ANON^A");
  EXPECT_EQ(study.record.pixelSize, 0.0);  // not written on this path
  EXPECT_EQ(report.failure, LoadFailure::kNoPixelData);
  EXPECT_EQ(ScanFresh("only_prefix"), kScanFailed);
  EXPECT_EQ(Scan("/nonexistent/file.dcm"), kScanFailed);
  EXPECT_EQ(report.failure, LoadFailure::kCannotOpen);
  EXPECT_EQ(Scan((std::string(DGC_TEST_DATA) + "/gated64.expected.raw").c_str()), kScanFailed);
  EXPECT_EQ(report.failure, LoadFailure::kNotDicom);
}

std::string Explicit(std::uint16_t group, std::uint16_t element, const char* vr,
                     const std::string& value) {
  return Le16(group) + Le16(element) + vr + Le16(static_cast<std::uint16_t>(value.size())) + value;
}

// No producer writes these: a one-byte Rows, Number of Time Slots and
// Number of Slices, and text values around the size of the scan's 8192-byte
// value buffer, which keeps the first 8191 bytes of a longer value.
TEST_F(ScanStudyHeaderTest, MalformedValuesKeepTheWalkAligned) {
  const auto rate = [](std::size_t length) { return std::string(length - 3, ' ') + "123"; };
  const struct {
    const char* label;
    std::string name, heartRate;  // as written
    std::string keptName;
    std::int16_t keptRate;
  } cases[] = {
      {"a 9000-byte name", std::string(9000, 'N'), "123", std::string(49, 'N'), 123},
      {"a rate of 8191 bytes, kept whole", "ANON", rate(8191), "ANON", 123},
      {"a rate of 8192 bytes, the buffer's size", "ANON", rate(8192), "ANON", 12},
      {"a rate of 8193 bytes", "ANON", rate(8193), "ANON", 1},
  };
  TempDir dir;
  for (const auto& c : cases) {
    std::string body =
        Explicit(0x0010, 0x0010, "PN", c.name) + Explicit(0x0010, 0x0020, "LO", "ID1 ") +
        Explicit(0x0018, 0x1088, "IS", c.heartRate) + Explicit(0x0028, 0x0010, "US", "\x40") +
        Explicit(0x0054, 0x0071, "US", "\x02") + Explicit(0x0054, 0x0081, "US", "\x03") +
        Explicit(0x0028, 0x0030, "DS", "3.2\\3.2 ") + Le16(0x7FE0) + Le16(0x0010) + "OW" + Le16(0) +
        Le32(0);
    WriteBytes(dir.File("m.dcm"), Part10(body));
    std::memset(&study.record, 0, sizeof study.record);
    std::int32_t offset = Scan(dir.File("m.dcm").c_str());
    EXPECT_EQ(offset, static_cast<std::int32_t>(Part10(body).size())) << c.label;
    EXPECT_EQ(std::string(study.record.patientName), c.keptName) << c.label;
    EXPECT_EQ(study.record.heartRate, c.keptRate) << c.label;
    EXPECT_STREQ(study.record.patientId, "ID1 ") << c.label;
    EXPECT_EQ(study.record.matrixSize, 64) << c.label;
    EXPECT_EQ(study.record.gateCount, 2) << c.label;
    EXPECT_EQ(study.record.frameCount, 3) << c.label;
    EXPECT_DOUBLE_EQ(study.record.pixelSize, 3.2) << c.label;
  }
}

TEST_F(ScanStudyHeaderTest, QuestionsForNonNmAndProjections) {
  const char* nonNm = "Warning|Not NM Images!\n Continue?|Yes";
  const char* projections = "Warning|Not Reconstructed Images!\n Continue?|No";
  struct {
    const char* file;
    bool yes;
    std::size_t questions;
    bool accepted;
    const char* question;
    const char* found;  // what the question says the file holds
  } const cases[] = {
      {"gated64", false, 0, true, nonNm, ""},
      {"modality_ct", true, 1, true, nonNm, "Modality: CT"},
      {"modality_ct", false, 1, false, nonNm, "Modality: CT"},
      {"modality_empty", false, 1, false, nonNm, "Modality: (empty)"},
      // The nested MR is another image's.
      {"modality_twice", true, 1, true, nonNm, "Modality: CT"},
      {"modality_twice", false, 1, false, nonNm, "Modality: CT"},
      {"type_gated_tomo", true, 1, true, projections,
       "Image Type: ORIGINAL\\PRIMARY\\GATED TOMO\\EMISSION"},
      {"type_gated_tomo", false, 1, false, projections,
       "Image Type: ORIGINAL\\PRIMARY\\GATED TOMO\\EMISSION"},
      {"type_recon_gated", false, 0, true, projections, ""},
  };
  for (const auto& c : cases) {
    AnswerQuestions answer(options, c.yes);
    std::int32_t result = ScanFresh(c.file);
    EXPECT_EQ(answer.asked.size(), c.questions) << c.file;
    for (const std::string& q : answer.asked) EXPECT_EQ(q, c.question) << c.file;
    for (const std::string& f : answer.found) EXPECT_EQ(f, c.found) << c.file;
    if (c.accepted) {
      EXPECT_GT(result, 0) << c.file;
    } else {
      EXPECT_EQ(result, kScanDeclined) << c.file;
      EXPECT_EQ(study.record.pixelSize, 0.0) << "untouched when declined";
    }
  }
}

TEST_F(ScanStudyHeaderTest, WithoutAHandlerNonNmIsDeclined) {
  EXPECT_EQ(ScanFresh("modality_ct"), kScanDeclined);
  EXPECT_EQ(report.detail, "modality CT declined");
}

}  // namespace
