// The gated image loader: frames land in their slots (checked against what
// pydicom reads back), binning, the band maximum, results and refusals.
#include "core/gated_loader.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "core/load_report.h"
#include "core/operator_question.h"
#include "model/study_state.h"
#include "tests/test_support.h"

namespace {

class LoadGatedStudyTest : public FreshStateTest {};

void FillStore(FrameStore& store, std::int16_t value) {
  std::fill(store.begin(), store.end(), value);
}

// Compares the store with the expected frames, gate after gate.
void ExpectStoreHolds(const FrameStore& store, const std::string& name, int gates, int frames) {
  std::vector<std::int16_t> expected = ExpectedFrames(name);
  ASSERT_EQ(expected.size(), static_cast<std::size_t>(gates) * frames * kFrameValues) << name;
  for (int g = 0; g < gates; ++g)
    for (int f = 0; f < frames; ++f) {
      const std::int16_t* want =
          expected.data() + (static_cast<std::size_t>(g) * frames + f) * kFrameValues;
      ASSERT_TRUE(std::equal(want, want + kFrameValues, store.Slot(g, f)))
          << name << " gate " << g << " frame " << f;
    }
}

struct LoadCase {
  const char* file;
  int gates;  // passes over the store
  std::int32_t framesPerGate;
  double pixelSize;
};

const LoadCase kLoadCases[] = {
    {"gated64", 8, 4, 6.4},
    {"gated64_implicit", 8, 4, 6.4},
    {"gated64_8x32", 8, 32, 6.4},
    {"gated128", 8, 4, 6.4},  // 3.2 doubled
    {"gated128_implicit", 8, 4, 6.4},
    {"gated64_16x64", 16, 64, 6.4},
    {"gated128_16x64", 16, 64, 6.4},
    {"gates0", 1, 6, 6.4},  // no time slots: one pass, undivided
    {"nf4_ns32", 1, 32, 6.4},
    {"bin_blocks", 1, 1, 6.4},
    {"rows_4bytes", 8, 4, 6.4},
    {"nm_no_bits", 8, 4, 6.4},
    {"dcmtk_explicit", 1, 1, -1.0},
    {"icon64_16bit", 1, 1, 6.4},
    {"icon64_8bit", 1, 1, 6.4},
    {"un_elements", 2, 4, 6.4},
    {"nested_attributes", 2, 4, 6.4},
    {"nested_attributes_implicit", 2, 4, 6.4},
    {"bits12_high15", 2, 4, 6.4},   // the 12 bits under High Bit 15
    {"summed_volume", 8, 24, 6.4},  // Number of Slices 24: the appended 24 are left over
    {"un_elements_implicit", 2, 4, 6.4},
    {"unsigned64", 2, 4, 6.4},
    {"unsigned128", 2, 4, 6.4},
    {"bits12_unsigned", 2, 4, 6.4},
    {"bits12_signed", 2, 4, 6.4},
    {"vectors_gate_major", 4, 8, 6.4},
    {"vectors_slice_major", 4, 8, 6.4},
    {"nf130_16gates", 16, 8, 6.4},
    {"reconstruction128", 1, 45, 2 * 4.12999964},
    {"bits12_signed128", 2, 4, 6.4},  // blocks that sum below -32768 saturate
    {"un_sequence_defined", 2, 4, 6.4},
    {"nf5_ns4", 1, 4, 6.4},  // Number of Slices 4 beside Number of Frames 5
};

TEST_F(LoadGatedStudyTest, FramesMatchWhatPydicomReads) {
  for (const LoadCase& c : kLoadCases) {
    FillStore(study.frames, 0);
    ASSERT_EQ(Load(DataFile(c.file).c_str()), kLoadOk) << c.file << ": " << report.detail;
    EXPECT_EQ(study.record.frameCount, c.framesPerGate) << c.file;
    EXPECT_DOUBLE_EQ(study.record.pixelSize, c.pixelSize) << c.file;
    if (std::string(c.file) != "dcmtk_explicit")
      ExpectStoreHolds(study.frames, c.file, c.gates, c.framesPerGate);
  }
}

TEST_F(LoadGatedStudyTest, BinningSaturatesAndKeepsTheFactorTen) {
  ASSERT_EQ(Load(DataFile("bin_blocks").c_str()), kLoadOk);
  EXPECT_EQ(study.frames.data()[0], 100);             // 10 x (1 + 2 + 3 + 4)
  EXPECT_EQ(study.frames.data()[5 * 64 + 5], 32767);  // 10 x 3277 would wrap
  EXPECT_EQ(study.frames.data()[10 * 64 + 10], -32768);
  EXPECT_EQ(study.record.matrixSize, 128);
  EXPECT_EQ(study.workMatrixColumns, 64);
  EXPECT_EQ(study.workMatrixRows, 64);
  EXPECT_EQ(study.record.maxCount, 32767);  // row 5 lies in the band
}

TEST_F(LoadGatedStudyTest, BandMaximumCoversRowsFiveToFortyFive) {
  struct {
    const char* file;
    std::int16_t maxCount;
  } const cases[] = {
      {"band_row3", 1}, {"band_row50", 1}, {"band_row5", 9000}, {"band_row45", 9000}};
  for (const auto& c : cases) {
    ASSERT_EQ(Load(DataFile(c.file).c_str()), kLoadOk);
    EXPECT_EQ(study.record.maxCount, c.maxCount) << c.file;
  }
}

TEST(FrameMaximum, IgnoresNegativeValues) {
  std::vector<std::int16_t> frame(4096, -5);
  EXPECT_EQ(FrameMaximum(frame.data()), 0);
  frame[45 * 64 + 63] = 7;
  EXPECT_EQ(FrameMaximum(frame.data()), 7);
}

TEST_F(LoadGatedStudyTest, ClearsTheRecordFirst) {
  std::strcpy(study.record.comment, "typed before");
  study.record.height = 170.0f;
  ASSERT_EQ(Load(DataFile("sex_missing").c_str()), kLoadOk);
  EXPECT_STREQ(study.record.comment, "");
  EXPECT_EQ(study.record.height, 0.0f);
  EXPECT_STREQ(study.record.sex, "");
}

// Whatever is written differently from what the file holds is one warning
// each; a study written as it stands is silent.
TEST_F(LoadGatedStudyTest, EachCaveatIsOneWarning) {
  const struct {
    const char* file;
    const char* warning;  // nullptr: none
    const char* second = nullptr;
  } cases[] = {
      {"gated64", nullptr},
      {"nf130_16gates",
       "Number of Frames 130 is more than 16 gates x 8 frames: the last 2 frames are not "
       "converted"},
      {"summed_volume",
       "Number of Frames 216 is more than 8 gates x 24 frames: the last 24 frames are not "
       "converted"},
      {"lossy_raw",
       "Lossy Image Compression (0028,2110) is 01: the pixel data went through lossy "
       "compression, so the counts are not exactly the acquired ones"},
      {"lossy_deflated",  // the attribute is named, never the lossless deflate
       "Lossy Image Compression (0028,2110) is 01: the pixel data went through lossy "
       "compression, so the counts are not exactly the acquired ones"},
      {"unsigned64",
       "16016 pixels (48.9 % of the non-zero ones) exceed the GSD's signed 16-bit counts and "
       "are written as 32767: unsigned values above 32767"},
      {"bin_blocks",
       "2 pixels (66.7 % of the non-zero ones) exceed the GSD's signed 16-bit counts and are "
       "written as 32767 or -32768: the 128 x 128 binning sums 2 x 2 pixels and multiplies by 10",
       "Number of Time Slots (0054,0071) is 1: the study is not gated and is written as one "
       "gate (division 1)"},
      {"rescale_quarter",
       "Rescale Slope 0.25 and Rescale Intercept 0 (0028,1053/1052) are not applied: the "
       "stored values are written"},
      {"gates0",
       "Number of Time Slots (0054,0071) is absent: the study is not gated and is written as "
       "one gate (division 0)"},
      {"hr_65596",
       "Heart Rate (0018,1088) 65596 does not fit the GSD header's heart rate: written as -1 "
       "(missing)"},
      {"nf5_ns4",
       "Number of Frames 5 is more than 1 gates x 4 frames: the last 1 frame is not converted",
       "Number of Time Slots (0054,0071) is 1: the study is not gated and is written as one gate "
       "(division 1)"},
      // Gating: gates off the mean of all gates, or too many beats rejected.
      {"gating_flat", nullptr},
      {"gating_drop",
       "the gating looks irregular: total counts more than 15 % from the mean of all gates in "
       "gates 14-16 (-26 %). Check the ECG gating before an ejection fraction is computed from "
       "this study"},
      {"gating_drop128",
       "the gating looks irregular: total counts more than 15 % from the mean of all gates in "
       "gates 14-16 (-26 %). Check the ECG gating before an ejection fraction is computed from "
       "this study"},
      {"gating_empty_gate",
       "the gating looks irregular: total counts more than 15 % from the mean of all gates in "
       "gate 5 (-100 %). Check the ECG gating before an ejection fraction is computed from this "
       "study"},
      {"gating_rejected30",
       "the gating looks irregular: 300 of 1,000 beats (30 %) rejected, more than 20 %. Check "
       "the ECG gating before an ejection fraction is computed from this study"},
      {"gating_single",
       "Number of Time Slots (0054,0071) is absent: the study is not gated and is written as "
       "one gate (division 0)"},
      {"bits12_signed128",  // below -32768 as well as above 32767
       "8020 pixels (24.5 % of the non-zero ones) exceed the GSD's signed 16-bit counts and are "
       "written as 32767 or -32768: the 128 x 128 binning sums 2 x 2 pixels and multiplies by "
       "10"},
  };
  // Every warning given, for a failure's message: there may be none.
  auto given = [this] {
    std::string all;
    for (const std::string& warning : report.warnings) all += "\n  " + warning;
    return all.empty() ? std::string(" none") : all;
  };
  for (const auto& c : cases) {
    ASSERT_EQ(Load(DataFile(c.file).c_str()), kLoadOk) << c.file;
    if (c.warning == nullptr) {
      EXPECT_TRUE(report.warnings.empty()) << c.file << ":" << given();
    } else {
      ASSERT_EQ(report.warnings.size(), c.second ? 2u : 1u) << c.file << ":" << given();
      EXPECT_EQ(report.warnings[0], c.warning) << c.file;
      if (c.second) {
        EXPECT_EQ(report.warnings[1], c.second) << c.file;
      }
    }
  }
}

TEST_F(LoadGatedStudyTest, ReadsNoFurtherThanTheDeclaredPixelData) {
  // One frame short, and a padding element follows: its bytes are not a frame.
  EXPECT_EQ(Load(DataFile("pixel_declared_short").c_str()), kLoadPixelDataShort);
  EXPECT_EQ(report.detail, "pixel data 8192 bytes short (65536 needed, 57344 present)");
}

TEST_F(LoadGatedStudyTest, ShortPixelDataGivesFourAndKeepsEarlierFrames) {
  EXPECT_EQ(Load(DataFile("pixel_short2").c_str()), kLoadPixelDataShort);
  EXPECT_EQ(report.detail.rfind("pixel data 2 bytes short", 0), 0u) << report.detail;
  std::vector<std::int16_t> expected = ExpectedFrames("short_base");
  // Every frame but the last of gate 1 is complete; the short one is not stored.
  for (int g = 0; g < 2; ++g)
    for (int f = 0; f < 6; ++f) {
      const std::int16_t* want = expected.data() + (g * 6 + f) * 4096;
      bool stored = std::equal(want, want + 4096, study.frames.Slot(g, f));
      EXPECT_EQ(stored, !(g == 1 && f == 5)) << g << "," << f;
    }
  EXPECT_DOUBLE_EQ(study.record.pixelSize, 6.4);
}

// The caller hears where the load stands and may cancel it at any report:
// the load then ends like the operator's own No, and no frame is kept.
TEST_F(LoadGatedStudyTest, ProgressReportsAndACancelEndsTheLoadAsDeclined) {
  const struct {
    const char* file;
    int cancelAt;  // the report that answers "cancel"; -1 never
    int result;
    const char* seen;  // the stages reported, F frames
  } cases[] = {
      {"gated64", -1, kLoadOk, "FFFFFFFF"},  // one report per gate
      {"gated64", 0, kLoadFailed, "F"},
      {"gated64", 3, kLoadFailed, "FFFF"},
      {"gated128", 7, kLoadFailed, "FFFFFFFF"},
  };
  for (const auto& c : cases) {
    std::string seen;
    options.progress = [&](const LoadProgress& progress) {
      seen += progress.stage == LoadStage::kReadingFrames ? 'F' : '?';
      EXPECT_EQ(progress.encoding, "1.2.840.10008.1.2.1 (Explicit VR Little Endian)") << c.file;
      EXPECT_LT(progress.done, progress.total) << c.file;
      return static_cast<int>(seen.size()) - 1 != c.cancelAt;
    };
    EXPECT_EQ(Load(DataFile(c.file)), c.result) << c.file;
    EXPECT_EQ(seen, c.seen) << c.file;
    EXPECT_EQ(report.DeclinedByOperator(), c.cancelAt >= 0) << c.file;
    if (c.cancelAt >= 0) {
      EXPECT_EQ(report.detail, "cancelled by the operator") << c.file;
    }
  }
}

// A watch folder renames files into place; an editor may truncate one. A
// change between the scan and the pixel read gives the scanned study whole,
// or a refusal, never one study's header with another's pixels.
TEST_F(LoadGatedStudyTest, AFileChangedAfterTheScan) {
  static std::string path;
  static const char* change;
  static TempDir* dir;
  TempDir folder;
  dir = &folder;
  path = folder.File("study.dcm");
  const struct {
    const char* change;
    int result;
  } cases[] = {{"rename", kLoadOk}, {"truncate", kLoadPixelDataShort}};
  for (const auto& c : cases) {
    WriteBytes(path, ReadBytes(DataFile("gated64")));
    change = c.change;
    options.afterHeaderScan = [] {
      if (std::string(change) == "rename") {
        WriteBytes(dir->File("next.dcm"), ReadBytes(DataFile("gated128")));
        ::rename(dir->File("next.dcm").c_str(), path.c_str());
      } else {
        ::truncate(path.c_str(), 2000);
      }
    };
    EXPECT_EQ(Load(path.c_str()), c.result) << c.change;
    if (c.result == kLoadOk) ExpectStoreHolds(study.frames, "gated64", 8, 4);
  }
}

struct RefusalCase {
  const char* file;
  LoadFailure failure;
  const char* detail;
};

const RefusalCase kRefusals[] = {
    {"matrix256", LoadFailure::kUnsupportedMatrix, "matrix 256 unsupported (64 or 128 only)"},
    {"matrix32", LoadFailure::kUnsupportedMatrix, "matrix 32 unsupported (64 or 128 only)"},
    {"gates17", LoadFailure::kTooLargeForStore,
     "17 gates of 1 frames do not fit (at most 16 gates of 64 frames)"},
    {"frames65", LoadFailure::kTooLargeForStore,
     "1 gates of 65 frames do not fit (at most 16 gates of 64 frames)"},
    {"rows64_cols128", LoadFailure::kUnsupportedMatrix,
     "Rows 64 and Columns 128 differ (square frames only)"},
    {"rows128_cols64", LoadFailure::kUnsupportedMatrix,
     "Rows 128 and Columns 64 differ (square frames only)"},
    {"matrix0", LoadFailure::kNoFrames, "the file has no Rows (0028,0010): no image to convert"},
    {"rows_missing", LoadFailure::kNoFrames,
     "the file has no Rows (0028,0010): no image to convert"},
    {"frames0", LoadFailure::kNoFrames, "Number of Frames is 0 or absent: no frames to convert"},
    {"nf_minus64", LoadFailure::kNoFrames, "Number of Frames is -64: no frames to convert"},
    {"vectors_twice", LoadFailure::kFrameOrder, "the frame vectors name gate 1, slice 5 twice"},
    {"vectors_short", LoadFailure::kFrameOrder,
     "Time Slot Vector (0054,0070) has 30 entries for 32 frames"},
    {"type_gated_tomo", LoadFailure::kNotReconstructedDeclined,
     "Image Type GATED TOMO holds projections or planar images, not reconstructed slices; "
     "declined"},
    {"bits8", LoadFailure::kUnsupportedEncoding, "Bits Allocated 8 is not supported (16 only)"},
    {"before_pixel", LoadFailure::kNoPixelData, "the file ends before its Pixel Data element"},
    {"only_prefix", LoadFailure::kNoPixelData, "the file ends before its Pixel Data element"},
    {"modality_ct", LoadFailure::kModalityDeclined, "modality CT declined"},
    {"slices_exceed", LoadFailure::kFrameOrder,
     "Number of Frames (0028,0008) 32 is fewer than 8 gates x Number of Slices (0054,0081) 5"},
    {"rr_intervals2", LoadFailure::kFrameOrder,
     "Number of R-R Intervals (0054,0061) is 2: only studies gated on one R-R window convert"},
    {"nf4_ns6", LoadFailure::kFrameOrder,
     "Number of Slices (0054,0081) 6 stands in for Number of Frames (0028,0008) 4; 2 gates x 6 "
     "slices need 12 frames"},
    {"nf5_ns32", LoadFailure::kFrameOrder,
     "Number of Frames (0028,0008) 5 is fewer than 1 gates x Number of Slices (0054,0081) 32"},
    {"vectors_long", LoadFailure::kFrameOrder,
     "Time Slot Vector (0054,0070) has 1025 entries for 32 frames"},
    {"vectors_gate0", LoadFailure::kFrameOrder, "Time Slot Vector (0054,0070) names gate 0 of 4"},
    {"vectors_slice0", LoadFailure::kFrameOrder, "Slice Vector (0054,0080) names slice 0 of 8"},
    {"vectors_slice9", LoadFailure::kFrameOrder, "Slice Vector (0054,0080) names slice 9 of 8"},
};

TEST_F(LoadGatedStudyTest, RefusesWhatDoesNotFitAndLeavesTheStore) {
  for (const RefusalCase& c : kRefusals) {
    FillStore(study.frames, -3);
    study.workMatrixColumns = study.workMatrixRows = 99;
    EXPECT_EQ(Load(DataFile(c.file).c_str()), kLoadFailed) << c.file;
    EXPECT_EQ(report.failure, c.failure) << c.file;
    EXPECT_EQ(report.detail, c.detail) << c.file;
    EXPECT_TRUE(std::all_of(study.frames.begin(), study.frames.end(), [](std::int16_t v) {
      return v == -3;
    })) << c.file;
    EXPECT_EQ(study.workMatrixColumns, 99) << c.file;
  }
}

TEST_F(LoadGatedStudyTest, RealFilesOfOtherKindsAreDecodedThenRefusedForWhatTheyAre) {
  // pydicom's own test files: compressed and big-endian, but no NM studies.
  options.ask = [](const OperatorQuestion&) { return true; };
  const std::string dir = "/usr/lib/python3/dist-packages/pydicom/data/test_files/";
  struct {
    const char* file;
    const char* detail;
  } const cases[] = {
      {"JPEG2000.dcm", "matrix 1024 unsupported (64 or 128 only)"},
      {"JPEG-lossy.dcm", "matrix 1024 unsupported (64 or 128 only)"},
      {"MR_small_bigendian.dcm", "Number of Frames is 0 or absent: no frames to convert"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Load((dir + c.file).c_str()), kLoadFailed) << c.file;
    EXPECT_EQ(report.detail, c.detail) << c.file;
  }
}

TEST_F(LoadGatedStudyTest, ASmallerSecondLoadLeavesZerosBehindItsFrames) {
  ASSERT_EQ(Load(DataFile("gated64_8x16").c_str()), kLoadOk);
  ASSERT_EQ(Load(DataFile("gated64_8x8").c_str()), kLoadOk);
  ExpectStoreHolds(study.frames, "gated64_8x8", 8, 8);
  for (int g = 0; g < kStoreGates; ++g)
    for (int f = g < 8 ? 8 : 0; f < kStoreFramesPerGate; ++f)
      ASSERT_TRUE(std::all_of(study.frames.Slot(g, f), study.frames.Slot(g, f) + kFrameValues,
                              [](std::int16_t v) { return v == 0; }))
          << g << "," << f;
  ASSERT_EQ(Load(DataFile("gated64_8x16").c_str()), kLoadOk);
  ExpectStoreHolds(study.frames, "gated64_8x16", 8, 16);
}

// Studies are values: two loaded side by side keep their own frames and
// records, and each writes the bytes its file gives loaded alone; the
// fixture's study, loaded into by neither, stays empty.
TEST_F(LoadGatedStudyTest, StudiesSideBySideShareNothing) {
  TempDir dir;
  struct {
    const char* file;
    int matrix;
    Study study;
    std::string alone;
  } loads[2] = {{"gated64", 64, {}, {}}, {"gated128", 128, {}, {}}};
  for (auto& load : loads) {
    Study single;
    ASSERT_EQ(LoadGatedStudy(DataFile(load.file).c_str(), single, options, report), kLoadOk);
    ASSERT_EQ(WriteGsdFile(dir.File("alone.gsd").c_str(), single, true, writeError, output),
              kGsdWritten);
    load.alone = ReadBytes(dir.File("alone.gsd"));
  }
  for (auto& load : loads)
    ASSERT_EQ(LoadGatedStudy(DataFile(load.file).c_str(), load.study, options, report), kLoadOk);
  for (auto& load : loads) {
    EXPECT_EQ(load.study.record.matrixSize, load.matrix) << load.file;
    ExpectStoreHolds(load.study.frames, load.file, 8, 4);
    ASSERT_EQ(WriteGsdFile(dir.File("o.gsd").c_str(), load.study, true, writeError, output),
              kGsdWritten);
    EXPECT_TRUE(ReadBytes(dir.File("o.gsd")) == load.alone) << load.file;
  }
  EXPECT_NE(loads[0].alone, loads[1].alone);
  EXPECT_EQ(study.record.matrixSize, 0);
  EXPECT_TRUE(
      std::all_of(study.frames.begin(), study.frames.end(), [](std::int16_t v) { return v == 0; }));
}

}  // namespace

namespace {

TEST(BinMatrix128To64, MatchesTheScalarRuleOnEveryValueRange) {
  // Random frames over the whole int16 range, checked value by value against
  // 10 x the block sum clamped to int16.
  std::vector<std::int16_t> source(128 * 128), dest(64 * 64);
  std::uint32_t state = 12345;
  for (int round = 0; round < 50; ++round) {
    for (auto& v : source) {
      state = state * 1664525u + 1013904223u;
      int span = round % 3 == 0 ? 65536 : (round % 3 == 1 ? 7000 : 600);
      v = static_cast<std::int16_t>(static_cast<int>(state >> 8) % span - span / 2);
    }
    BinMatrix128To64(source.data(), dest.data());
    for (int i = 0; i < 64; ++i)
      for (int j = 0; j < 64; ++j) {
        long sum =
            10L * (source[(2 * i) * 128 + 2 * j] + source[(2 * i) * 128 + 2 * j + 1] +
                   source[(2 * i + 1) * 128 + 2 * j] + source[(2 * i + 1) * 128 + 2 * j + 1]);
        long want = sum > 32767 ? 32767 : (sum < -32768 ? -32768 : sum);
        ASSERT_EQ(dest[i * 64 + j], want) << "round " << round << " at " << i << "," << j;
      }
  }
}

}  // namespace
