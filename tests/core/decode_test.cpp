// Studies as archives deliver them: every encoding DCMTK and GDCM write,
// converted through the decoder helper to the raw original's GSD bytes;
// damaged codestreams, a mutation loop and a failing helper end cleanly.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "gated_loader.h"
#include "load_report.h"
#include "operator_question.h"
#include "test_support.h"
#include "transcoder.h"

namespace {

const std::string kDicom2Gsd = std::string(DGC_BINARY_DIR) + "/dicom2gsd";
const std::string kEncoded = std::string(DGC_TEST_DATA) + "/encoded/";

struct EncodedCase {
  std::string study, encoding;
  bool lossy;
};

std::vector<EncodedCase> EncodedCases() {
  std::vector<EncodedCase> cases;
  std::ifstream list(kEncoded + "cases.txt");
  EncodedCase c;
  int lossy;
  while (list >> c.study >> c.encoding >> lossy) {
    c.lossy = lossy != 0;
    cases.push_back(c);
  }
  return cases;
}

std::string EncodedFile(const std::string& study, const std::string& encoding) {
  return kEncoded + study + "." + encoding + ".dcm";
}

CommandResult Convert(const std::string& input, const std::string& output) {
  return RunCommand(kDicom2Gsd + " " + ShellQuote(input) + " " + ShellQuote(output));
}

// The warnings a conversion printed, without the input's path.
std::string WarningsOf(const CommandResult& run, const std::string& input) {
  std::string text = run.output;
  for (std::size_t at; (at = text.find(input + ": ")) != std::string::npos;)
    text.erase(at, input.size() + 2);
  return text;
}

TEST(Decoding, EveryLosslessEncodingWritesTheRawFilesGsd) {
  std::vector<EncodedCase> cases = EncodedCases();
  // 9 studies x 9 lossless encodings, less GDCM's JPEG 2000 copy of the
  // 12-bit/High Bit 15 study (its encoder drops the top bits), and 2 lossy.
  ASSERT_EQ(cases.size(), 82u);
  TempDir dir;
  for (const EncodedCase& c : cases) {
    CommandResult raw = Convert(DataFile(c.study), dir.File("raw.gsd"));
    ASSERT_EQ(raw.exitCode, 0) << c.study << ": " << raw.output;
    const std::string encoded = EncodedFile(c.study, c.encoding);
    CommandResult run = Convert(encoded, dir.File("enc.gsd"));
    std::string label = c.study + "." + c.encoding;
    ASSERT_EQ(run.exitCode, 0) << label << ": " << run.output;
    if (c.lossy) {  // converts, and says so once
      EXPECT_NE(run.output.find("warning: "), std::string::npos) << label;
      const std::size_t lossy = run.output.find("lossy compression");
      EXPECT_NE(lossy, std::string::npos) << label << run.output;
      EXPECT_EQ(run.output.find("lossy compression", lossy + 1), std::string::npos) << run.output;
    } else {  // byte for byte the raw file's conversion, with the raw file's caveats
      EXPECT_EQ(WarningsOf(run, encoded), WarningsOf(raw, DataFile(c.study))) << label;
      EXPECT_TRUE(ReadBytes(dir.File("raw.gsd")) == ReadBytes(dir.File("enc.gsd"))) << label;
    }
  }
}

// Loads in this process, as the window does: the decoder may fail in any
// way, the caller only sees a result and a reason.
void ExpectCleanLoad(const std::string& path, const std::string& label) {
  int result = LoadGatedStudy(path.c_str());
  ASSERT_TRUE(result == kLoadOk || result == kLoadFailed || result == kLoadPixelDataShort)
      << label << ": " << result;
  if (result != kLoadOk) {
    EXPECT_FALSE(LastLoadReport.detail.empty()) << label;
  }
}

TEST(Decoding, DamagedCodestreamsEndWithAReason) {
  SetYesNoQuestion(nullptr);
  TempDir dir;
  for (const char* encoding : {"jpeglossless", "jpegls", "rle", "j2k", "deflated", "bigendian"}) {
    const std::string whole = ReadBytes(EncodedFile("gated64", encoding));
    const std::string truncated = whole.substr(0, whole.size() * 2 / 3);
    std::string overwritten = whole;
    for (std::size_t i = whole.size() / 2; i < whole.size() / 2 + 200; ++i) overwritten[i] = '\xA5';
    WriteBytes(dir.File("t.dcm"), truncated);
    ExpectCleanLoad(dir.File("t.dcm"), std::string(encoding) + " truncated");
    EXPECT_NE(LoadGatedStudy(dir.File("t.dcm").c_str()), kLoadOk) << encoding;
    WriteBytes(dir.File("o.dcm"), overwritten);
    ExpectCleanLoad(dir.File("o.dcm"), std::string(encoding) + " overwritten");
  }
  EXPECT_EQ(LoadGatedStudy(DataFile("jpeg_syntax").c_str()), kLoadFailed);
  EXPECT_EQ(LastLoadReport.detail,
            "cannot decode transfer syntax 1.2.840.10008.1.2.4.70 (JPEG Lossless, First-Order "
            "Prediction): Not a JPEG file: starts with 0x00 0x00");
}

TEST(Decoding, MutatedCompressedInputsThroughTheHelper) {
  SetYesNoQuestion([](const OperatorQuestion&) { return true; });
  std::mt19937 random(20261207);
  TempDir dir;
  const char* encodings[] = {"jpeglossless", "jpegls", "rle", "j2k", "deflated"};
  int loads = 0;
  for (const char* encoding : encodings) {
    const std::string whole = ReadBytes(EncodedFile("gated64", encoding));
    for (int round = 0; round < 400; ++round) {
      std::string bytes = whole;
      int edits = 1 + static_cast<int>(random() % 8);
      for (int e = 0; e < edits; ++e) {
        std::size_t at = random() % bytes.size();
        switch (random() % 3) {
          case 0:
            bytes[at] = static_cast<char>(random());
            break;
          case 1:
            bytes.resize(at + 1);
            break;
          default:
            bytes.insert(at, std::string(1 + random() % 16, static_cast<char>(random())));
        }
      }
      WriteBytes(dir.File("m.dcm"), bytes);
      ExpectCleanLoad(dir.File("m.dcm"), std::string(encoding) + " round " + std::to_string(round));
      ++loads;
    }
  }
  RecordProperty("loads", loads);
  SetYesNoQuestion(nullptr);
}

TEST(Decoding, AHelperThatCrashesOrHangsIsARefusal) {
  TempDir dir;
  struct {
    const char* script;
    const char* reason;
  } const helpers[] = {
      {"kill -SEGV $$", "the decoder crashed (Segmentation fault)"},
      {"exec sleep 30", "the decoder did not finish within 1 s"},
      {"echo 'cannot decode: codestream ends early' >&2; exit 3",
       "cannot decode: codestream ends early"},
      {"exit 0", "the decoder wrote nothing"},
  };
  for (const auto& h : helpers) {
    WriteBytes(dir.File("helper"), std::string("#!/bin/sh\n") + h.script + "\n");
    ASSERT_EQ(::chmod(dir.File("helper").c_str(), 0700), 0);
    SetDecoderForTesting(dir.File("helper"), 1);
    EXPECT_EQ(LoadGatedStudy(EncodedFile("gated64", "j2k").c_str()), kLoadFailed) << h.script;
    EXPECT_EQ(LastLoadReport.detail,
              "cannot decode transfer syntax 1.2.840.10008.1.2.4.90 (JPEG 2000 Lossless): " +
                  std::string(h.reason))
        << h.script;
  }
  SetDecoderForTesting("", 0);
  EXPECT_EQ(LoadGatedStudy(EncodedFile("gated64", "j2k").c_str()), kLoadOk);
}

// A codestream that states another image than the data set is refused
// before any decoder starts: a stand-in helper leaves a mark if it runs.
TEST(Decoding, ACodestreamOfAnotherSizeNeverReachesTheDecoder) {
  TempDir dir;
  const std::string mark = dir.File("helper-ran");
  WriteBytes(dir.File("helper"), "#!/bin/sh\ntouch " + ShellQuote(mark) + "\nexit 3\n");
  ASSERT_EQ(::chmod(dir.File("helper").c_str(), 0700), 0);
  SetDecoderForTesting(dir.File("helper"), 5);
  // Each row patches the first codestream's own statement of its size.
  const struct {
    const char* encoding;
    std::string marker;  // where the size is stated
    std::size_t at;      // bytes after the marker
    std::string patch;   // what it then says
    const char* detail;
  } cases[] = {
      {"j2k", "\xFF\x4F\xFF\x51", 8, std::string("\0\0\x10\0\0\0\x10\0", 8),
       "transfer syntax 1.2.840.10008.1.2.4.90 (JPEG 2000 Lossless): the first frame's JPEG 2000 "
       "codestream is 4096 x 4096, the data set's Rows and Columns 64 x 64: refused before "
       "decoding"},
      {"jpeglossless", "\xFF\xC3", 5, std::string("\x10\0\x10\0", 4),
       "transfer syntax 1.2.840.10008.1.2.4.70 (JPEG Lossless, First-Order Prediction): the first "
       "frame's JPEG codestream is 4096 x 4096, the data set's Rows and Columns 64 x 64: refused "
       "before decoding"},
      {"jpegls", "\xFF\xF7", 9, std::string("\x03", 1),
       "transfer syntax 1.2.840.10008.1.2.4.80 (JPEG-LS Lossless): the first frame's JPEG-LS "
       "codestream holds 3 components, a gated SPECT frame one"},
      {"rle", std::string("\x02\0\0\0\x40\0\0\0", 8), 0, std::string("\x05", 1),
       "transfer syntax 1.2.840.10008.1.2.5 (RLE Lossless): the first RLE frame holds 5 segments, "
       "not the 2 of 16-bit pixels: refused before decoding"},
  };
  for (const auto& c : cases) {
    std::string bytes = ReadBytes(EncodedFile("gated64", c.encoding));
    const std::size_t found = bytes.find(c.marker);
    ASSERT_NE(found, std::string::npos) << c.encoding;
    bytes.replace(found + c.at, c.patch.size(), c.patch);
    WriteBytes(dir.File("patched.dcm"), bytes);
    EXPECT_EQ(LoadGatedStudy(dir.File("patched.dcm").c_str()), kLoadFailed) << c.encoding;
    EXPECT_EQ(LastLoadReport.detail, c.detail) << c.encoding;
    EXPECT_FALSE(FileExists(mark)) << c.encoding << ": the decoder ran";
  }
  SetDecoderForTesting("", 0);
}

}  // namespace
