// Studies as archives deliver them: every encoding DCMTK and GDCM write,
// converted through the decoder helper to the raw original's GSD bytes;
// damaged codestreams, a mutation loop and a failing helper end cleanly; the
// helper runs only from where it belongs, confined, and not beyond the
// converter.
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "core/gated_loader.h"
#include "core/load_report.h"
#include "core/operator_question.h"
#include "helper_client/transcoder.h"
#include "tests/core/frame_path.h"
#include "tests/helper/ijg_lossless_encoder.h"
#include "tests/test_support.h"

namespace {

class DecodingTest : public FreshStateTest {};

const std::string kDicom2Gsd = std::string(DGC_BINARY_DIR) + "/dicom2gsd";
const std::string kEncoded = std::string(DGC_TEST_DATA) + "/encoded/";

struct EncodedCase {
  std::string study, encoding;
  bool lossy;
  bool lossyUnderLosslessSyntax;  // only the codestream says it is lossy
};

std::vector<EncodedCase> EncodedCases() {
  std::vector<EncodedCase> cases;
  std::ifstream list(kEncoded + "cases.txt");
  EncodedCase c;
  int lossy;
  while (list >> c.study >> c.encoding >> lossy) {
    c.lossy = lossy != 0;
    c.lossyUnderLosslessSyntax = lossy == 2;
    cases.push_back(c);
  }
  return cases;
}

std::string EncodedFile(const std::string& study, const std::string& encoding) {
  return kEncoded + study + "." + encoding + ".dcm";
}

CommandResult Convert(const std::string& input, const std::string& output,
                      const std::string& options = "") {
  return RunCommand(kDicom2Gsd + " " + options + " " + ShellQuote(input) + " " +
                    ShellQuote(output));
}

// The warnings a conversion printed, without the input's path.
std::string WarningsOf(const CommandResult& run, const std::string& input) {
  std::string text = run.output;
  for (std::size_t at; (at = text.find(input + ": ")) != std::string::npos;)
    text.erase(at, input.size() + 2);
  return text;
}

TEST_F(DecodingTest, EveryLosslessEncodingWritesTheRawFilesGsd) {
  std::vector<EncodedCase> cases = EncodedCases();
  // 9 studies x 13 lossless encodings, less GDCM's three copies of the
  // 12-bit/High Bit 15 study (its encoders drop the top bits), 2 lossy and 4
  // lossy under a lossless syntax.
  ASSERT_EQ(cases.size(), 120u);
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
      if (c.lossyUnderLosslessSyntax) {  // from the helper's look at the codestream
        EXPECT_NE(run.output.find("(frame 1: a "), std::string::npos) << label << run.output;
      }
    } else {  // byte for byte the raw file's conversion, with the raw file's caveats
      EXPECT_EQ(WarningsOf(run, encoded), WarningsOf(raw, DataFile(c.study))) << label;
      EXPECT_TRUE(ReadBytes(dir.File("raw.gsd")) == ReadBytes(dir.File("enc.gsd"))) << label;
      // The codec libraries alone, as a site that rules the helper's own
      // decoders out has them, write the same.
      if (c.encoding.find("jpeg") != std::string::npos) {
        run = Convert(encoded, dir.File("lib.gsd"), "--library-decoders");
        ASSERT_EQ(run.exitCode, 0) << label << " (libraries): " << run.output;
        EXPECT_TRUE(ReadBytes(dir.File("raw.gsd")) == ReadBytes(dir.File("lib.gsd"))) << label;
      }
    }
  }
}

// Loads in this process, as the window does: the decoder may fail in any
// way, the caller only sees a result and a reason.
void ExpectCleanLoad(Study& study, const LoadOptions& options, LoadReport& report,
                     const std::string& path, const std::string& label) {
  int result = LoadGatedStudy(path.c_str(), study, options, report);
  ASSERT_TRUE(result == kLoadOk || result == kLoadFailed || result == kLoadPixelDataShort)
      << label << ": " << result;
  if (result != kLoadOk) {
    EXPECT_FALSE(report.detail.empty()) << label;
  }
}

// The gated64 study's copies cut to two thirds or with 200 bytes in their
// middle overwritten. A codestream the decoder refuses is refused with the
// syntax and GDCM's own words, which its version may change (only their
// start is checked); never with how the helper ended (a crash, its limits).
TEST_F(DecodingTest, DamagedCodestreamsEndWithAReason) {
  const std::string jpegLossless =
      "cannot decode transfer syntax 1.2.840.10008.1.2.4.70 (JPEG Lossless, First-Order "
      "Prediction): ";
  const std::string jpegLs =
      "cannot decode transfer syntax 1.2.840.10008.1.2.4.80 (JPEG-LS Lossless): ";
  const std::string rle = "cannot decode transfer syntax 1.2.840.10008.1.2.5 (RLE Lossless): ";
  const std::string j2k =
      "cannot decode transfer syntax 1.2.840.10008.1.2.4.90 (JPEG 2000 Lossless): ";
  const std::string deflated =
      "cannot decode transfer syntax 1.2.840.10008.1.2.1.99 (Deflated Explicit VR Little Endian): "
      "GDCM cannot read it as a DICOM image";
  const struct {
    const char* encoding;
    bool truncated;  // else overwritten
    int result;
    std::string reason;  // the whole reason when exact, else its start
    bool exact;
  } cases[] = {
      {"jpeglossless", true, kLoadFailed, jpegLossless, false},
      {"jpeglossless", false, kLoadFailed, jpegLossless, false},
      {"jpegls", true, kLoadFailed, jpegLs, false},
      {"jpegls", false, kLoadFailed, jpegLs, false},
      {"rle", true, kLoadFailed, rle, false},
      {"rle", false, kLoadFailed, rle, false},
      {"j2k", true, kLoadFailed, j2k, false},
      {"j2k", false, kLoadFailed, j2k, false},
      {"deflated", true, kLoadFailed, deflated, true},
      // Inflated, the overwritten stream ends early: counted like a short native one.
      {"deflated", false, kLoadPixelDataShort, "the pixel data end before the last frame", true},
      // Native pixel data: the loader counts what the decoded copy lacks.
      {"bigendian", true, kLoadPixelDataShort,
       "pixel data 87619 bytes short (262144 needed, 174525 present)", true},
      {"bigendian", false, kLoadOk, "", true},  // the bytes overwritten are counts
  };
  TempDir dir;
  for (const auto& c : cases) {
    std::string bytes = ReadBytes(EncodedFile("gated64", c.encoding));
    const std::size_t half = bytes.size() / 2;
    if (c.truncated)
      bytes.resize(bytes.size() * 2 / 3);
    else
      bytes.replace(half, 200, 200, '\xA5');
    const std::string label =
        std::string(c.encoding) + (c.truncated ? " truncated" : " overwritten");
    WriteBytes(dir.File("damaged.dcm"), bytes);
    EXPECT_EQ(Load(dir.File("damaged.dcm").c_str()), c.result) << label;
    const std::string detail = report.detail;
    // The same words on every run, however the helper's threads ran.
    for (int again = 0; again < 4; ++again) {
      Load(dir.File("damaged.dcm").c_str());
      EXPECT_EQ(report.detail, detail) << label;
    }
    if (c.exact) {
      EXPECT_EQ(detail, c.reason) << label;
    } else {
      EXPECT_EQ(detail.rfind(c.reason, 0), 0u) << label << ": " << detail;
      const std::string words = detail.substr(std::min(detail.size(), c.reason.size()));
      EXPECT_FALSE(words.empty()) << label;
      for (const char* ending : {"the decoder", "cannot start the decoder", "the decoded file"})
        EXPECT_NE(words.rfind(ending, 0), 0u) << label << ": " << detail;
    }
    if (c.result == kLoadFailed) {
      EXPECT_EQ(report.failure, LoadFailure::kUnsupportedEncoding) << label;
    }
  }
  EXPECT_EQ(Load(DataFile("jpeg_syntax").c_str()), kLoadFailed);
  EXPECT_EQ(report.detail,
            "cannot decode transfer syntax 1.2.840.10008.1.2.4.70 (JPEG Lossless, First-Order "
            "Prediction): Not a JPEG file: starts with 0x00 0x00");
}

// The file with its fragment (1 = the first after the Basic Offset Table)
// keeping only its first keep bytes, the item's length to match: the file
// still walks, the codestream in it is cut short.
std::string WithFragmentCut(std::string bytes, int fragment, std::size_t keep) {
  const std::string pixelData("\xE0\x7F\x10\x00OB\0\0\xFF\xFF\xFF\xFF", 12);
  std::size_t at = bytes.rfind(pixelData) + pixelData.size();
  auto length = [&](std::size_t item) {
    return static_cast<std::size_t>(static_cast<unsigned char>(bytes[item + 4])) |
           static_cast<std::size_t>(static_cast<unsigned char>(bytes[item + 5])) << 8 |
           static_cast<std::size_t>(static_cast<unsigned char>(bytes[item + 6])) << 16 |
           static_cast<std::size_t>(static_cast<unsigned char>(bytes[item + 7])) << 24;
  };
  for (int item = 0; item < fragment; ++item) at += 8 + length(at);
  keep &= ~std::size_t{1};  // items are of even length
  bytes.erase(at + 8 + keep, length(at) - keep);
  bytes.replace(at + 4, 4, Le32(static_cast<std::uint32_t>(keep)));
  return bytes;
}

// DCMTK's copy of a study with every frame re-encoded by IJG as given:
// the raw study's 16-bit frames, one fragment each.
std::string WithFramesEncodedByIjg(const std::string& study, int predictor, int pointTransform,
                                   int restartRows) {
  const std::string raw = ReadBytes(DataFile(study));
  const std::string ow("\xE0\x7F\x10\x00OW\0\0", 8);
  const std::size_t values = raw.rfind(ow) + ow.size() + 4;
  std::string file = ReadBytes(EncodedFile(study, "jpeglossless"));
  const std::string ob("\xE0\x7F\x10\x00OB\0\0\xFF\xFF\xFF\xFF", 12);
  file.resize(file.rfind(ob) + ob.size());
  file += std::string("\xFE\xFF\x00\xE0", 4) + Le32(0);  // an empty Basic Offset Table
  const int side = 64;
  const std::size_t frameBytes = std::size_t{2} * side * side;
  for (std::size_t at = values; at + frameBytes <= raw.size(); at += frameBytes) {
    std::vector<std::uint16_t> samples(side * side);
    std::memcpy(samples.data(), raw.data() + at, frameBytes);
    std::vector<unsigned char> stream =
        EncodeLosslessJpeg(samples, side, side, predictor, pointTransform, restartRows);
    if (stream.size() % 2 != 0) stream.push_back(0);
    file += std::string("\xFE\xFF\x00\xE0", 4) + Le32(static_cast<std::uint32_t>(stream.size()));
    file.append(stream.begin(), stream.end());
  }
  return file + std::string("\xFE\xFF\xDD\xE0\0\0\0\0", 8);
}

// What the helper's own JPEG lossless decoder leaves to IJG converts all
// the same: restart markers (every row, every 7 rows), other predictors
// through both, and a point transform, which the helper reports as lossy
// (GDCM, which would decode the file too, does not tell).
TEST_F(DecodingTest, JpegLosslessFramesOwnDecoderLeavesToIjgConvert) {
  const struct {
    int predictor, restartRows, pointTransform;
  } cases[] = {{1, 1, 0}, {1, 7, 0}, {7, 5, 0}, {6, 0, 0}, {1, 3, 2}};
  TempDir dir;
  ASSERT_EQ(Convert(DataFile("gated64"), dir.File("raw.gsd")).exitCode, 0);
  for (const auto& c : cases) {
    const std::string label = "predictor " + std::to_string(c.predictor) + ", restart " +
                              std::to_string(c.restartRows) + ", point transform " +
                              std::to_string(c.pointTransform);
    WriteBytes(dir.File("ijg.dcm"),
               WithFramesEncodedByIjg("gated64", c.predictor, c.pointTransform, c.restartRows));
    for (const char* decoders : {"", "--library-decoders"}) {
      const CommandResult run = Convert(dir.File("ijg.dcm"), dir.File("ijg.gsd"), decoders);
      ASSERT_EQ(run.exitCode, 0) << label << " " << decoders << ": " << run.output;
      if (c.pointTransform > 0) {
        EXPECT_NE(run.output.find("lossy compression (frame 1: a lossless JPEG codestream with "
                                  "point transform " +
                                  std::to_string(c.pointTransform)),
                  std::string::npos)
            << label << run.output;
      } else {
        EXPECT_TRUE(ReadBytes(dir.File("raw.gsd")) == ReadBytes(dir.File("ijg.gsd"))) << label;
        EXPECT_EQ(run.output.find("lossy"), std::string::npos) << label << run.output;
      }
    }
  }
}

// A codestream cut short inside a file that still walks: the frame is
// refused, named, with its codec's words; never converted with made-up
// samples (IJG makes them and warns, GDCM lets one warning pass).
TEST_F(DecodingTest, AFrameCutShortIsRefusedWithItsNumberAndTheCodecsWords) {
  const std::string jpegLossless =
      "cannot decode transfer syntax 1.2.840.10008.1.2.4.70 (JPEG Lossless, First-Order "
      "Prediction): ";
  const struct {
    const char* encoding;
    int frame;
    double kept;  // of the fragment
    std::string reason;
  } cases[] = {
      {"jpeglossless", 5, 0.6, jpegLossless + "frame 5: Premature end of JPEG file"},
      {"jpeglossless", 1, 0.6, jpegLossless + "frame 1: Premature end of JPEG file"},
      // Its end of image only: every sample is there, the codestream is not.
      {"jpeglossless", 32, 0.9995, jpegLossless + "frame 32: Premature end of JPEG file"},
  };
  TempDir dir;
  for (const auto& c : cases) {
    const std::string label = std::string(c.encoding) + " frame " + std::to_string(c.frame);
    const std::string whole = ReadBytes(EncodedFile("gated64", c.encoding));
    const std::string pixelData("\xE0\x7F\x10\x00OB\0\0\xFF\xFF\xFF\xFF", 12);
    ASSERT_NE(whole.rfind(pixelData), std::string::npos) << label;
    std::string bytes = WithFragmentCut(whole, c.frame, 0);
    const std::size_t fragment = whole.size() - bytes.size();
    bytes = WithFragmentCut(whole, c.frame, static_cast<std::size_t>(fragment * c.kept));
    WriteBytes(dir.File("cut.dcm"), bytes);
    for (const char* decoders : {"", "--library-decoders"}) {
      options.decoder.libraryDecoders = *decoders != '\0';
      EXPECT_EQ(Load(dir.File("cut.dcm")), kLoadFailed) << label << " " << decoders;
      EXPECT_EQ(report.detail, c.reason) << label << " " << decoders;
    }
  }
}

// The helper decodes as many frames at once as it is told, within the
// address space the converter gives it: a machine of 32 or 64 threads
// decodes a valid study as one of 2 does.
TEST_F(DecodingTest, ManyDecodingThreadsFitTheHelpersMemory) {
  TempDir dir;
  const std::string study = EncodedFile("reconstruction128", "j2k");
  for (int threads : {1, 32, 64}) {
    options.decoder.threads = threads;
    EXPECT_EQ(Load(study), kLoadOk) << threads << " threads: " << report.detail;
  }
  // The options reach the helper.
  WriteBytes(dir.File("helper"), "#!/bin/sh\necho \"options $*\" >&2\nexit 3\n");
  ASSERT_EQ(::chmod(dir.File("helper").c_str(), 0700), 0);
  UseDecoder(dir.File("helper"), 5);
  options.decoder.libraryDecoders = true;
  EXPECT_EQ(Load(study), kLoadFailed);
  EXPECT_EQ(report.detail.substr(report.detail.find("options")),
            "options --threads 64 --library-decoders");
}

TEST_F(DecodingTest, MutatedCompressedInputsThroughTheHelper) {
  options.ask = [](const OperatorQuestion&) { return true; };
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
      const std::string label = std::string(encoding) + " round " + std::to_string(round);
      ExpectCleanLoad(study, options, report, dir.File("m.dcm"), label);
      ++loads;
      // The helper's frame path on the same bytes, in this process.
      const FramePathRun frames = RunFramePath(bytes);
      if (frames.outcome.result == FrameDecodeOutcome::kWritten) {
        EXPECT_FALSE(frames.output.empty()) << label;
      } else if (frames.outcome.result != FrameDecodeOutcome::kNotHandled) {
        EXPECT_FALSE(frames.outcome.why.empty()) << label;
      }
    }
  }
  RecordProperty("loads", loads);
}

TEST_F(DecodingTest, AHelperThatCrashesOrHangsIsARefusal) {
  TempDir dir;
  const std::string helper = dir.File("helper");
  struct {
    const char* script;  // nullptr: nothing at the helper's path
    mode_t mode;
    const char* reason;  // HELPER stands for the helper's path
  } const helpers[] = {
      {"kill -SEGV $$", 0700, "the decoder crashed (Segmentation fault)"},
      {"kill -SYS $$", 0700,
       "the decoder was stopped for a system call outside its sandbox (Bad system call)"},
      {"exec sleep 30", 0700, "the decoder did not finish within 1 s"},
      {"exec >&- 2>&-; exec sleep 30", 0700, "the decoder did not finish within 1 s"},
      {"echo 'cannot decode: codestream ends early' >&2; exit 3", 0700,
       "cannot decode: codestream ends early"},
      {"exit 0", 0700, "the decoder wrote nothing"},
      {"exit 0", 0600, "cannot start the decoder HELPER: Permission denied"},
      {nullptr, 0, "the decoder is not installed (looked for HELPER)"},
  };
  // A parent process may leave SIGCHLD ignored: the helper's end still tells.
  for (bool ignored : {false, true}) {
    struct sigaction saved;
    struct sigaction children = {};
    children.sa_handler = ignored ? SIG_IGN : SIG_DFL;
    ASSERT_EQ(::sigaction(SIGCHLD, &children, &saved), 0);
    for (const auto& h : helpers) {
      const std::string label =
          std::string(h.script ? h.script : "no helper") + (ignored ? ", SIGCHLD ignored" : "");
      ::unlink(helper.c_str());
      if (h.script != nullptr) {
        WriteBytes(helper, std::string("#!/bin/sh\n") + h.script + "\n");
        ASSERT_EQ(::chmod(helper.c_str(), h.mode), 0);
      }
      UseDecoder(helper, 1);
      const auto start = std::chrono::steady_clock::now();
      EXPECT_EQ(Load(EncodedFile("gated64", "j2k").c_str()), kLoadFailed) << label;
      EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3)) << label;
      std::string reason = h.reason;
      if (reason.find("HELPER") != std::string::npos)
        reason.replace(reason.find("HELPER"), 6, helper);
      EXPECT_EQ(
          report.detail,
          "cannot decode transfer syntax 1.2.840.10008.1.2.4.90 (JPEG 2000 Lossless): " + reason)
          << label;
    }
    struct sigaction after;
    ASSERT_EQ(::sigaction(SIGCHLD, &saved, &after), 0);
    EXPECT_EQ(after.sa_handler, children.sa_handler) << "the caller's SIGCHLD is put back";
  }
  UseDecoder("", 0);
  EXPECT_EQ(Load(EncodedFile("gated64", "j2k").c_str()), kLoadOk);
}

// A copy of dicom2gsd in a folder of its own (root/bin), and stand-in
// helpers planted where a test wants them.
struct ProgramCopy {
  TempDir root;
  std::string program = root.File("bin/dicom2gsd");

  ProgramCopy() {
    EXPECT_EQ(::mkdir(root.File("bin").c_str(), 0755), 0);
    Copy("dicom2gsd");
  }
  // The build's program of that name, into bin/.
  void Copy(const std::string& name) {
    const std::string path = root.File("bin/" + name);
    WriteBytes(path, ReadBytes(std::string(DGC_BINARY_DIR) + "/" + name));
    EXPECT_EQ(::chmod(path.c_str(), 0755), 0);
  }
  void Plant(const std::string& path, const std::string& script) {
    WriteBytes(path, "#!/bin/sh\n" + script + "\n");
    EXPECT_EQ(::chmod(path.c_str(), 0755), 0);
  }
};

// The helper runs from beside the program as the kernel resolved it, or from
// where it is installed; never from the current folder or the folder above
// the program, where another user may have put one.
struct HelperPlacementRow {
  const char* label;
  bool besideHelper;
  bool withoutProc;    // run under unshare -m with /proc unmounted: needs root
  const char* looked;  // the paths a refusal names; BIN stands for the copy's folder
};

const HelperPlacementRow kHelperPlacementRows[] = {
    {"no helper beside the program", false, false, "BIN/dicom-decode, " DGC_DECODER_PATH},
    {"a helper beside the program", true, false, ""},
    {"no /proc to find the program", true, true, DGC_DECODER_PATH},
};

void CheckHelperPlacement(const HelperPlacementRow& row) {
  const bool isInstalled = FileExists(DGC_DECODER_PATH);  // then it decodes
  ProgramCopy copy;
  auto mark = [&](const char* name) { return "touch " + ShellQuote(copy.root.File(name)); };
  if (row.besideHelper)
    copy.Plant(copy.root.File("bin/dicom-decode"),
               mark("ran-beside") + "; echo stand-in >&2; exit 3");
  ASSERT_EQ(::mkdir(copy.root.File("work").c_str(), 0755), 0);
  copy.Plant(copy.root.File("dicom-decode"), mark("ran-above") + "; exit 3");
  copy.Plant(copy.root.File("work/dicom-decode"), mark("ran-in-cwd") + "; exit 3");
  std::string command = "cd " + ShellQuote(copy.root.File("work")) + " && exec ../bin/dicom2gsd " +
                        ShellQuote(EncodedFile("gated64", "j2k")) + " out.gsd";
  if (row.withoutProc) command = "unshare -m sh -c " + ShellQuote("umount -l /proc && " + command);
  CommandResult run = RunCommand(command);
  EXPECT_FALSE(FileExists(copy.root.File("ran-above"))) << row.label;
  EXPECT_FALSE(FileExists(copy.root.File("ran-in-cwd"))) << row.label;
  EXPECT_EQ(FileExists(copy.root.File("ran-beside")), row.besideHelper && !row.withoutProc)
      << row.label;
  if (row.besideHelper && !row.withoutProc) {
    EXPECT_EQ(run.exitCode, 1) << row.label;
    EXPECT_NE(run.output.find("(JPEG 2000 Lossless): stand-in"), std::string::npos) << run.output;
  } else if (isInstalled) {
    EXPECT_EQ(run.exitCode, 0) << row.label << ": " << run.output;
  } else {
    std::string looked = row.looked;
    if (looked.rfind("BIN", 0) == 0) looked.replace(0, 3, copy.root.File("bin"));
    EXPECT_EQ(run.exitCode, 1) << row.label;
    EXPECT_NE(run.output.find("the decoder is not installed (looked for " + looked + ")"),
              std::string::npos)
        << row.label << ": " << run.output;
  }
}

// The three programs copied into a folder only its owner may enter, as a
// clone made with mktemp -d (or under /root) is: the helper finds GDCM's
// beside it although, started by root, it changes user before it runs it.
// The install folder is hidden (a mount namespace) so that no installed
// helper can stand in. As root also as another user (65534) who owns the
// folder, and without GDCM's helper: the refusal names every place tried.
TEST_F(DecodingTest, TheProgramsRunFromAFolderOnlyTheirOwnerEnters) {
  const bool root = ::geteuid() == 0;
  const std::string installed = DGC_DECODER_GDCM_PATH;
  if (!root && FileExists(installed))
    GTEST_SKIP() << installed << " is installed: only root can hide it";
  const std::string installFolder = installed.substr(0, installed.rfind('/'));
  std::string raw;
  {
    TempDir dir;
    ASSERT_EQ(Convert(EncodedFile("gated64", "deflated"), dir.File("raw.gsd")).exitCode, 0);
    raw = ReadBytes(dir.File("raw.gsd"));
  }
  // GDCM's own words follow; the row without its helper shows that they come from it.
  const std::string gdcmWords = "(JPEG 2000 Lossless): ";
  const std::string missing =
      "the decoder cannot start dicom-decode-gdcm (looked for BIN/"
      "dicom-decode-gdcm, " +
      installed + ")";
  const struct {
    const char* label;
    bool asAnotherUser, withGdcm;
    std::string deflatedSays, damagedSays;  // "": converted; BIN is the copy's folder
  } rows[] = {
      {"as the caller", false, true, "", gdcmWords},
      {"as user 65534", true, true, "", gdcmWords},
      {"without GDCM's helper", false, false, missing, missing},
  };
  for (const auto& row : rows) {
    if (row.asAnotherUser && !root) continue;
    ProgramCopy copy;
    copy.Copy("dicom-decode");
    if (row.withGdcm) copy.Copy("dicom-decode-gdcm");
    struct stat folder;
    ASSERT_EQ(::stat(copy.root.path().c_str(), &folder), 0);
    ASSERT_EQ(folder.st_mode & 07777, 0700u);
    std::string damaged = ReadBytes(EncodedFile("gated64", "j2k"));
    damaged.replace(damaged.size() / 2, 200, 200, '\xA5');
    WriteBytes(copy.root.File("damaged.dcm"), damaged);
    WriteBytes(copy.root.File("deflated.dcm"), ReadBytes(EncodedFile("gated64", "deflated")));
    if (row.asAnotherUser) {
      ASSERT_EQ(RunCommand("chown -R 65534:65534 " + ShellQuote(copy.root.path())).exitCode, 0);
    }
    auto run = [&](const char* input) {
      std::string command =
          (row.asAnotherUser ? "setpriv --reuid=65534 --regid=65534 --clear-groups " : "") +
          ShellQuote(copy.program) + " " + ShellQuote(copy.root.File(input)) + " " +
          ShellQuote(copy.root.File("out.gsd"));
      if (root)
        command =
            "unshare -m sh -c " +
            ShellQuote("if [ -d " + ShellQuote(installFolder) + " ]; then mount -t tmpfs tmpfs " +
                       ShellQuote(installFolder) + "; fi && exec " + command);
      return RunCommand(command);
    };
    auto says = [&](std::string text) {
      if (text.find("BIN") != std::string::npos)
        text.replace(text.find("BIN"), 3, copy.root.File("bin"));
      return text;
    };
    CommandResult deflated = run("deflated.dcm");
    if (row.deflatedSays.empty()) {
      EXPECT_EQ(deflated.exitCode, 0) << row.label << ": " << deflated.output;
      EXPECT_TRUE(ReadBytes(copy.root.File("out.gsd")) == raw) << row.label;
    } else {
      EXPECT_EQ(deflated.exitCode, 1) << row.label;
      EXPECT_NE(deflated.output.find(says(row.deflatedSays)), std::string::npos)
          << row.label << ": " << deflated.output;
    }
    CommandResult refused = run("damaged.dcm");
    EXPECT_EQ(refused.exitCode, 1) << row.label;
    EXPECT_NE(refused.output.find(says(row.damagedSays)), std::string::npos)
        << row.label << ": " << refused.output;
  }
}

// While the decoder runs the caller is asked, about ten times a second,
// whether to go on; a cancel ends the helper at once.
TEST_F(DecodingTest, ACancelWhileDecodingEndsTheHelper) {
  TempDir dir;
  const std::string helper = dir.File("helper");
  WriteBytes(helper, "#!/bin/sh\necho $$ > " + ShellQuote(dir.File("pid")) + "\nexec sleep 30\n");
  ASSERT_EQ(::chmod(helper.c_str(), 0700), 0);
  UseDecoder(helper, 20);
  int asked = 0;
  options.progress = [&](const LoadProgress& progress) {
    EXPECT_EQ(progress.stage, LoadStage::kDecoding);
    EXPECT_EQ(progress.encoding, "1.2.840.10008.1.2.4.90 (JPEG 2000 Lossless)");
    return ++asked < 5 || !FileExists(dir.File("pid"));
  };
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(Load(EncodedFile("gated64", "j2k")), kLoadFailed);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  EXPECT_GE(asked, 5);
  EXPECT_EQ(report.failure, LoadFailure::kCancelled);
  EXPECT_TRUE(report.DeclinedByOperator());
  const std::string pid = ReadBytes(dir.File("pid"));
  EXPECT_NE(::kill(std::stoi(pid), 0), 0) << "the helper still runs";
}

TEST_F(DecodingTest, OnlyTheHelperBesideTheProgramOrTheInstalledOneRuns) {
  for (const HelperPlacementRow& row : kHelperPlacementRows)
    if (!row.withoutProc) CheckHelperPlacement(row);
}

TEST_F(DecodingTest, WithoutProcOnlyTheInstalledHelperRuns) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to unmount /proc under unshare -m";
  for (const HelperPlacementRow& row : kHelperPlacementRows)
    if (row.withoutProc) CheckHelperPlacement(row);
}

// SIGKILL to the converter ends its helper too: a stand-in helper that would
// sleep 30 s, orphaned onto this process (a subreaper) to be seen ending.
TEST_F(DecodingTest, TheHelperEndsWithTheConverter) {
  ProgramCopy copy;
  const std::string pidFile = copy.root.File("helper.pid");
  const std::string quoted = ShellQuote(pidFile), fresh = ShellQuote(pidFile + ".new");
  copy.Plant(copy.root.File("bin/dicom-decode"),
             "echo $$ > " + fresh + " && mv " + fresh + " " + quoted + "\nexec sleep 30");
  ASSERT_EQ(::prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0), 0);
  const std::string input = EncodedFile("gated64", "j2k"), output = copy.root.File("out.gsd");
  char* argv[] = {const_cast<char*>(copy.program.c_str()), const_cast<char*>(input.c_str()),
                  const_cast<char*>(output.c_str()), nullptr};
  pid_t converter = -1;
  ASSERT_EQ(::posix_spawn(&converter, argv[0], nullptr, nullptr, argv, environ), 0);
  for (int i = 0; i < 1000 && !FileExists(pidFile); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  const pid_t helper = FileExists(pidFile) ? std::stoi(ReadBytes(pidFile)) : -1;
  ::kill(converter, SIGKILL);
  int status = 0;
  ::waitpid(converter, &status, 0);
  bool ended = false;
  EXPECT_GT(helper, 0) << "the stand-in helper did not start within 10 s";
  for (int i = 0; i < 500 && !ended && helper > 0; ++i) {
    ended = ::waitpid(helper, &status, WNOHANG) == helper;
    if (!ended) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (!ended && helper > 0) {
    ::kill(helper, SIGKILL);
    ::waitpid(helper, nullptr, 0);
  }
  ::prctl(PR_SET_CHILD_SUBREAPER, 0, 0, 0, 0);
  ASSERT_TRUE(ended) << "the helper outlived the converter by 5 s";
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;
}

// The user a helper started by root runs as: the package's system user
// dicom-decode, else a uid of the dynamic range that no account or group
// names (its gid the same number); never root, never nobody, whose other
// processes could attach to it.
void ExpectTheHelpersOwnUser(uid_t uid, gid_t gid) {
  const passwd* own = ::getpwnam("dicom-decode");
  if (own != nullptr) {
    EXPECT_EQ(uid, own->pw_uid);
    EXPECT_EQ(gid, own->pw_gid);
    return;
  }
  EXPECT_GE(uid, 61184u);
  EXPECT_LE(uid, 65519u);
  EXPECT_EQ(gid, uid);
  EXPECT_EQ(::getpwuid(uid), nullptr) << uid;
  EXPECT_EQ(::getgrgid(gid), nullptr) << gid;
}

// The real helpers confined as for a decode, then (their hidden --self-test)
// trying what the sandbox forbids: each attempt ends it by SIGSYS (159). Row
// ids: the identity each is confined under, undumpable already when its
// main() began (no process of its user could attach before it confined
// itself).
TEST_F(DecodingTest, TheHelpersSandboxHolds) {
  const std::string helper = std::string(DGC_BINARY_DIR) + "/dicom-decode";
  const bool root = ::geteuid() == 0;
  uid_t uid = ::getuid();
  gid_t gid = ::getgid();
  const std::string groups = root ? "0" : std::to_string(::getgroups(0, nullptr));
  if (root) {
    const CommandResult ids = RunCommand(ShellQuote(helper) + " --self-test ids </dev/null");
    ASSERT_EQ(std::sscanf(ids.output.c_str(), "uid %u %*u %*u gid %u", &uid, &gid), 2)
        << ids.output;
    ExpectTheHelpersOwnUser(uid, gid);
  }
  const std::string user = std::to_string(uid), group = std::to_string(gid);
  const std::string identity = "uid " + user + " " + user + " " + user + " gid " + group + " " +
                               group + " " + group + " groups " + groups +
                               " no_new_privs 1 dumpable_at_main 0 dumpable 0 pdeathsig 9 cpu 30 "
                               "as 536870912 core 0\nstatus 0\n";
  const struct {
    const char* program;
    const char* check;
    std::string output;
  } rows[] = {
      {"dicom-decode", "ids", identity},
      {"dicom-decode-gdcm", "ids", identity},
      {"dicom-decode", "open", "status 159\n"},
      {"dicom-decode", "socket", "status 159\n"},
      {"dicom-decode", "exec", "status 159\n"},
      {"dicom-decode", "exec-memory", "status 159\n"},
      {"dicom-decode", "map-file", "status 159\n"},
      // Threads of the helper's own (the frames decode side by side), each
      // within the address-space limit; a new process stays forbidden.
      {"dicom-decode", "thread", "thread joined\nstatus 0\n"},
      {"dicom-decode", "thread-memory", "640 MiB refused\nstatus 0\n"},
      {"dicom-decode", "fork", "status 159\n"},
  };
  for (const auto& row : rows) {
    CommandResult run =
        RunCommand(ShellQuote(std::string(DGC_BINARY_DIR) + "/" + row.program) + " --self-test " +
                   row.check + " </dev/null 2>&1; echo status $?");
    // Only the shell's own line on a death by signal may come first.
    const std::size_t before = run.output.size() - std::min(run.output.size(), row.output.size());
    EXPECT_EQ(run.output.substr(before), row.output) << row.program << " " << row.check;
  }
}

// A codestream that states another image than the data set is refused
// before any decoder starts: a stand-in helper leaves a mark if it runs.
TEST_F(DecodingTest, ACodestreamOfAnotherSizeNeverReachesTheDecoder) {
  TempDir dir;
  const std::string mark = dir.File("helper-ran");
  WriteBytes(dir.File("helper"), "#!/bin/sh\ntouch " + ShellQuote(mark) + "\nexit 3\n");
  ASSERT_EQ(::chmod(dir.File("helper").c_str(), 0700), 0);
  UseDecoder(dir.File("helper"), 5);
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
      // One side only.
      {"jpeglossless", "\xFF\xC3", 5, std::string("\0\x41", 2),
       "transfer syntax 1.2.840.10008.1.2.4.70 (JPEG Lossless, First-Order Prediction): the first "
       "frame's JPEG codestream is 64 x 65, the data set's Rows and Columns 64 x 64: refused "
       "before decoding"},
      {"jpeglossless", "\xFF\xC3", 7, std::string("\0\x41", 2),
       "transfer syntax 1.2.840.10008.1.2.4.70 (JPEG Lossless, First-Order Prediction): the first "
       "frame's JPEG codestream is 65 x 64, the data set's Rows and Columns 64 x 64: refused "
       "before decoding"},
      {"jpegls", "\xFF\xF7", 5, std::string("\0\x3F", 2),
       "transfer syntax 1.2.840.10008.1.2.4.80 (JPEG-LS Lossless): the first frame's JPEG-LS "
       "codestream is 64 x 63, the data set's Rows and Columns 64 x 64: refused before decoding"},
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
    EXPECT_EQ(Load(dir.File("patched.dcm").c_str()), kLoadFailed) << c.encoding;
    EXPECT_EQ(report.detail, c.detail) << c.encoding;
    EXPECT_FALSE(FileExists(mark)) << c.encoding << ": the decoder ran";
  }
}

// A deflated data set cannot be walked before it is inflated: the helper
// gets what the largest study would need, not the 500 MB a bomb asks for.
TEST_F(DecodingTest, ADeflateBombIsRefusedWithinItsBudget) {
  EXPECT_EQ(Load(DataFile("deflate_bomb").c_str()), kLoadFailed);
  const std::string refusal = "cannot decode transfer syntax 1.2.840.10008.1.2.1.99";
  EXPECT_EQ(report.detail.rfind(refusal, 0), 0u) << report.detail;
  // The address space the helper is given, in KiB, as a stand-in reports it.
  TempDir dir;
  WriteBytes(dir.File("helper"), "#!/bin/sh\necho \"limit $(ulimit -v)\" >&2\nexit 3\n");
  ASSERT_EQ(::chmod(dir.File("helper").c_str(), 0700), 0);
  UseDecoder(dir.File("helper"), 5);
  EXPECT_EQ(Load(DataFile("deflate_bomb").c_str()), kLoadFailed);
  const std::size_t at = report.detail.rfind("limit ");
  ASSERT_NE(at, std::string::npos) << report.detail;
  const long kib = std::stol(report.detail.substr(at + 6));
  EXPECT_GE(kib, 128 * 1024);  // the largest study decodes in about 160 MiB
  EXPECT_LE(kib, 256 * 1024);  // where 512 MiB let GDCM inflate the bomb
}

}  // namespace
