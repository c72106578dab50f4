// The headless tools as a script runs them: dicom2gsd from pydicom-written
// studies to GSD files checked pixel by pixel, its exit codes and messages,
// and gsdinfo on the result.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "core/gated_loader.h"
#include "gsd/gsd_reader.h"
#include "model/gate_curve.h"
#include "process/converter_outcome.h"
#include "tests/test_support.h"

#ifdef DGC_HAVE_QTGUI
#include <QColor>
#include <QImage>
#include <QString>
#endif

namespace {

const std::string kDicom2Gsd = std::string(DGC_BINARY_DIR) + "/dicom2gsd";
const std::string kGsdInfo = std::string(DGC_BINARY_DIR) + "/gsdinfo";

CommandResult Convert(const std::string& options, const std::string& input,
                      const std::string& output) {
  return RunCommand(kDicom2Gsd + " " + options + " " + ShellQuote(input) + " " +
                    ShellQuote(output));
}

struct EndToEndCase {
  const char* file;
  int gates, frames;
  const char* pixelLine;
};

TEST(Dicom2Gsd, FramesMatchPydicomPixelByPixel) {
  const EndToEndCase cases[] = {
      {"gated64", 8, 4, "    6.4000000000"},  {"gated64_implicit", 8, 4, "    6.4000000000"},
      {"gated128", 8, 4, "    6.4000000000"}, {"gated128_16x64", 16, 64, "    6.4000000000"},
      {"gates0", 1, 6, "    6.4000000000"},
  };
  TempDir dir;
  for (const EndToEndCase& c : cases) {
    for (bool baseToApex : {false, true}) {
      std::string out = dir.File(std::string(c.file) + ".gsd");
      CommandResult run = Convert(baseToApex ? "--base-to-apex" : "", DataFile(c.file), out);
      ASSERT_EQ(run.exitCode, 0) << c.file << ": " << run.output;
      GsdFile gsd;
      std::string error;
      ASSERT_TRUE(ReadGsdFile(out.c_str(), gsd, error)) << error;
      EXPECT_EQ(*gsd.Field("pixel"), c.pixelLine);
      EXPECT_EQ(*gsd.Field("matrix"), "64");
      ASSERT_EQ(gsd.Gates(), c.gates);
      ASSERT_EQ(gsd.frames, c.frames);
      std::vector<std::int16_t> expected = ExpectedFrames(c.file);
      for (int g = 0; g < c.gates; ++g)
        for (int i = 0; i < c.frames; ++i) {
          int f = baseToApex ? i : c.frames - 1 - i;
          const std::int16_t* want =
              expected.data() + (static_cast<std::size_t>(g) * c.frames + f) * 4096;
          ASSERT_TRUE(std::equal(want, want + 4096, gsd.Frame(g, i)))
              << c.file << " g" << g << " f" << f;
        }
    }
  }
}

TEST(Dicom2Gsd, OptionsReachTheHeader) {
  TempDir dir;
  CommandResult run = Convert("--height 170 --weight 65.5 --comment 'rest study'",
                              DataFile("gated64"), dir.File("o.gsd"));
  ASSERT_EQ(run.exitCode, 0) << run.output;
  std::string bytes = ReadBytes(dir.File("o.gsd"));
  EXPECT_NE(bytes.find("height = 170.0000;\r\nweight =  65.5000;\r\ntracer = TL201_;\r\ncomment = "
                       "rest_study;\r\n"),
            std::string::npos);
  EXPECT_NE(
      bytes.find(
          "id = A_12;\r\nname = ANON^A;\r\ndate = 2001.03.15;\r\ntime = 14:30:05;\r\nsex = M;\r\n"),
      std::string::npos);
}

struct FailureCase {
  const char* label;
  std::string options;
  std::string input;
  std::string output;  // relative to the temporary folder
  int exitCode;
  const char* message;
  const char* kind;  // in the outcome line; none after a usage error
};

TEST(Dicom2Gsd, ExitCodesAndOneLineReasons) {
  TempDir dir;
  WriteBytes(dir.File("same.dcm"), ReadBytes(DataFile("gated64")));
  const FailureCase cases[] = {
      {"output is the input", "", dir.File("same.dcm"), dir.File("same.dcm"), 1,
       "same.dcm: cannot write: it is the input file", "failed"},
      {"missing input", "", "/nonexistent/in.dcm", "o.gsd", 1, "/nonexistent/in.dcm: No such file",
       "failed"},
      {"not DICOM", "",
       DataFile("gated64").substr(0, DataFile("gated64").size() - 4) + ".expected.raw", "o.gsd", 1,
       "not a DICOM file", "failed"},
      {"ends before pixel data", "", DataFile("before_pixel"), "o.gsd", 1,
       "ends before its Pixel Data", "failed"},
      {"non-NM declined", "", DataFile("modality_ct"), "o.gsd", 1,
       "modality CT declined (--accept-non-nm converts it)", "declined"},
      {"matrix 256", "", DataFile("matrix256"), "o.gsd", 1, "matrix 256 unsupported", "failed"},
      {"compressed", "", DataFile("jpeg_syntax"), "o.gsd", 1,
       "transfer syntax 1.2.840.10008.1.2.4.70", "failed"},
      {"two bytes short", "", DataFile("pixel_short2"), "o.gsd", 4, "pixel data 2 bytes short",
       "short"},
      {"output folder missing", "", DataFile("gated64"), "missing/o.gsd", 1,
       "cannot write: No such file", "failed"},
      {"device full", "", DataFile("gated64"), "/dev/full", 1, "/dev/full: cannot write: No space",
       "failed"},
      {"no arguments", "", "", "", 2, "an INPUT and an OUTPUT path are needed", nullptr},
      {"bad height", "--height abc", DataFile("gated64"), "o.gsd", 2,
       "--height 'abc' is not a finite number", nullptr},
      {"height beyond a float", "--height 1e39", DataFile("gated64"), "o.gsd", 2,
       "--height '1e39' is not a finite number", nullptr},
      {"negative height", "--height -170", DataFile("gated64"), "o.gsd", 2,
       "--height '-170' is negative", nullptr},
      {"negative weight", "--weight -0.5", DataFile("gated64"), "o.gsd", 2,
       "--weight '-0.5' is negative", nullptr},
      {"height no patient has", "--height 10", DataFile("gated64"), "o.gsd", 2,
       "--height '10' is no patient's: 20 to 250 cm, or 0 to leave it out", nullptr},
      {"weight in grams", "--weight 65000", DataFile("gated64"), "o.gsd", 2,
       "--weight '65000' is no patient's: 0.5 to 400 kg, or 0 to leave it out", nullptr},
      {"sex other than M or F", "--sex O", DataFile("gated64"), "o.gsd", 2,
       "--sex 'O' is not M or F", nullptr},
      {"sex without a value", "--sex", "", "", 2, "--sex needs a value", nullptr},
      {"projections", "", DataFile("type_gated_tomo"), "o.gsd", 1,
       "reconstructed slices; declined (--accept-projections converts it)", "declined"},
      {"two R-R windows", "", DataFile("rr_intervals2"), "o.gsd", 1,
       "Number of R-R Intervals (0054,0061) is 2", "failed"},
      {"frame vectors", "", DataFile("vectors_twice"), "o.gsd", 1,
       "the frame vectors name gate 1, slice 5 twice", "failed"},
      {"unknown option", "--frobnicate", DataFile("gated64"), "o.gsd", 2,
       "unknown option --frobnicate", nullptr},
  };
  for (const FailureCase& c : cases) {
    std::string output = c.output.empty() || c.output[0] == '/' ? c.output : dir.File(c.output);
    const std::string outcomeFile = dir.File("outcome.json");
    std::string command = kDicom2Gsd + " --outcome-fd 3 " + c.options;
    if (!c.input.empty()) command += " " + ShellQuote(c.input) + " " + ShellQuote(output);
    CommandResult run = RunCommand(command + " 3>" + ShellQuote(outcomeFile));
    EXPECT_EQ(run.exitCode, c.exitCode) << c.label << ": " << run.output;
    // One line on stderr gives the reason; a usage error adds the usage. A
    // write that fails after the load follows the warning that the ID "A 12"
    // is written "A_12", and that alone.
    std::string errors = run.standardError;
    const std::string idCaveat = "Patient ID A 12 is written as A_12";
    bool idWarned = false;
    if (const std::size_t end = errors.find('\n');
        end != std::string::npos && errors.substr(0, end).find(idCaveat) != std::string::npos) {
      errors.erase(0, end + 1);
      idWarned = true;
    }
    EXPECT_NE(errors.substr(0, errors.find('\n')).find(c.message), std::string::npos)
        << c.label << ": " << errors;
    if (c.exitCode != 2) {
      EXPECT_EQ(LineCount(errors), 1) << c.label << ": " << errors;
    }
    EXPECT_EQ(run.standardOutput, "") << c.label;
    EXPECT_FALSE(FileExists(dir.File("o.gsd"))) << c.label;
    // The outcome line: the status, its kind, and the reason stderr ends with.
    const std::string line = ReadBytes(outcomeFile);
    ConverterOutcome outcome;
    if (c.kind == nullptr) {
      EXPECT_EQ(line, "") << c.label;
      continue;
    }
    ASSERT_TRUE(ParseOutcomeLine(line, outcome)) << c.label << ": " << line;
    EXPECT_EQ(outcome.status, c.exitCode) << c.label;
    EXPECT_EQ(outcome.kind, c.kind) << c.label;
    const std::string said = errors.substr(0, errors.find('\n'));
    EXPECT_TRUE(
        !outcome.reason.empty() && said.size() > outcome.reason.size() &&
        said.compare(said.size() - outcome.reason.size(), std::string::npos, outcome.reason) == 0)
        << c.label << ": " << line;
    EXPECT_EQ(outcome.warnings, idWarned ? std::vector<std::string>{c.input + ": " + idCaveat}
                                         : std::vector<std::string>())
        << c.label;
    EXPECT_EQ(outcome.output, "") << c.label;
  }
  EXPECT_EQ(ReadBytes(dir.File("same.dcm")), ReadBytes(DataFile("gated64")));
}

// The sex written, and one warning line for each caveat: a file without a
// usable sex is written F and says so, unless --sex gives it. The outcome
// line carries the gate farthest from the mean and, when the gating looks
// irregular at the tolerance given, why in short (the folder mode's words).
TEST(Dicom2Gsd, SexAndWarnings) {
  const struct {
    const char* options;
    const char* file;
    const char* sexLine;
    int warnings;
    const char* warning;  // the one expected, if any
    int worstGate, worstGatePercent;
    const char* gating;
  } cases[] = {
      // Each file's ID "A 12" is written "A_12": the first warning of all.
      {"", "sex_missing", "sex = F;", 2,
       "sex_missing.dcm: the file gives no usable Patient's Sex (0010,0040)", 1, 0, ""},
      {"--sex M", "sex_missing", "sex = M;", 1, nullptr, 1, 0, ""},
      {"--sex F", "gated64", "sex = F;", 1, nullptr, 1, 0, ""},
      {"", "gated64", "sex = M;", 1, nullptr, 1, 0, ""},
      {"", "nf130_16gates", "sex = M;", 2, "the last 2 frames are not converted", 1, 0, ""},
      {"", "gating_drop", "sex = M;", 2, "in gates 14-16 (-26 %)", 14, -26, "gates 14-16 (-26 %)"},
      {"--gating-tolerance 30", "gating_drop", "sex = M;", 1, nullptr, 14, -26, ""},
      {"--gating-tolerance 5", "gating_flat", "sex = M;", 1, nullptr, 1, 0, ""},
      {"", "gating_empty_gate", "sex = M;", 2, "in gate 5 (-100 %)", 5, -100, "gate 5 (-100 %)"},
      // The beats' threshold is not the gates' tolerance.
      {"--gating-tolerance 30", "gating_rejected30", "sex = M;", 2, "(30 %) rejected", 1, 0,
       "30 % of beats rejected"},
      // One gate: no gate is off a mean of one.
      {"", "gating_single", "sex = M;", 2, "the study is not gated", 0, 0, ""},
  };
  TempDir dir;
  for (const auto& c : cases) {
    const std::string label = std::string(c.options) + " " + c.file;
    CommandResult run = RunCommand(
        kDicom2Gsd + " --outcome-fd 3 " + c.options + " " + ShellQuote(DataFile(c.file)) + " " +
        ShellQuote(dir.File("o.gsd")) + " 3>" + ShellQuote(dir.File("outcome.json")));
    ASSERT_EQ(run.exitCode, 0) << label << ": " << run.output;
    // The outcome line gives the warnings as stderr does, after "warning: ".
    ConverterOutcome outcome;
    ASSERT_TRUE(ParseOutcomeLine(ReadBytes(dir.File("outcome.json")), outcome)) << label;
    EXPECT_EQ(outcome.status, 0) << label;
    EXPECT_EQ(outcome.kind, "converted") << label;
    EXPECT_EQ(outcome.reason, "") << label;
    EXPECT_EQ(outcome.output, dir.File("o.gsd")) << label;
    EXPECT_EQ(outcome.worstGate, c.worstGate) << label;
    EXPECT_EQ(outcome.worstGatePercent, c.worstGatePercent) << label;
    EXPECT_EQ(outcome.gating, c.gating) << label;
    EXPECT_EQ(outcome.warnings.size(), static_cast<std::size_t>(c.warnings)) << label;
    ASSERT_FALSE(outcome.warnings.empty()) << label;
    EXPECT_EQ(outcome.warnings[0], DataFile(c.file) + ": Patient ID A 12 is written as A_12");
    for (const std::string& warning : outcome.warnings)
      EXPECT_NE(run.standardError.find("dicom2gsd: warning: " + warning + "\n"), std::string::npos)
          << label << ": " << warning;
    EXPECT_NE(ReadBytes(dir.File("o.gsd")).find(std::string("\r\n") + c.sexLine + "\r\n"),
              std::string::npos)
        << label;
    int lines = 0;
    for (std::size_t at = 0;
         (at = run.output.find("dicom2gsd: warning: ", at)) != std::string::npos; ++at)
      ++lines;
    EXPECT_EQ(lines, c.warnings) << label << ": " << run.output;
    // Each warning is one line on stderr.
    EXPECT_EQ(LineCount(run.standardError), c.warnings) << label << ": " << run.standardError;
    EXPECT_EQ(run.standardOutput, "") << label;
    if (c.warning != nullptr) {
      EXPECT_NE(run.output.find(c.warning), std::string::npos) << label << ": " << run.output;
    }
  }
}

TEST(Dicom2Gsd, AcceptNonNmConverts) {
  TempDir dir;
  EXPECT_EQ(Convert("--accept-non-nm", DataFile("modality_ct"), dir.File("o.gsd")).exitCode, 0);
  EXPECT_TRUE(FileExists(dir.File("o.gsd")));
}

TEST(Dicom2Gsd, HelpAndVersion) {
  CommandResult help = RunCommand(kDicom2Gsd + " --help");
  EXPECT_EQ(help.exitCode, 0);
  EXPECT_NE(help.output.find("usage: dicom2gsd"), std::string::npos);
  CommandResult version = RunCommand(kDicom2Gsd + " --version");
  EXPECT_EQ(version.exitCode, 0);
  EXPECT_EQ(version.output.rfind("dicom2gsd ", 0), 0u);
}

TEST(GsdInfo, PrintsHeaderAndGateCountsAndDrawsAMontage) {
  TempDir dir;
  ASSERT_EQ(Convert("", DataFile("gated64"), dir.File("o.gsd")).exitCode, 0);
  CommandResult info = RunCommand(kGsdInfo + " " + ShellQuote(dir.File("o.gsd")) + " --png " +
                                  ShellQuote(dir.File("o.png")));
  ASSERT_EQ(info.exitCode, 0) << info.output;
  EXPECT_NE(info.output.find("division: 8"), std::string::npos) << info.output;
  EXPECT_NE(info.output.find("gate"), std::string::npos);
  std::string png = ReadBytes(dir.File("o.png"));
  ASSERT_GT(png.size(), 8u);
  EXPECT_EQ(png.substr(1, 3), "PNG");

  WriteBytes(dir.File("bad.gsd"), "tulvex\r\nid = x\r\n");
  CommandResult bad = RunCommand(kGsdInfo + " " + ShellQuote(dir.File("bad.gsd")));
  EXPECT_EQ(bad.exitCode, 1);
  EXPECT_NE(bad.output.find("bad.gsd: header line 2"), std::string::npos) << bad.output;
}

// A PNG's width and height, from its IHDR chunk.
bool PngSize(const std::string& png, long& width, long& height) {
  if (png.size() < 24 || png.compare(1, 3, "PNG") != 0 || png.compare(12, 4, "IHDR") != 0)
    return false;
  auto word = [&png](std::size_t at) {
    long value = 0;
    for (std::size_t i = at; i < at + 4; ++i)
      value = value << 8 | static_cast<unsigned char>(png[i]);
    return value;
  };
  width = word(16);
  height = word(20);
  return true;
}

#ifdef DGC_HAVE_QTGUI
// The bars in the strip from row top down, left to right, in the row that
// crosses the most: 'B' for blue (within tolerance), 'R' for red (beyond).
// The row of the dashed mean (yellow) cuts bars into pieces: left out.
std::string BarColours(const QImage& image, int top) {
  std::string most;
  for (int y = top; y < image.height(); ++y) {
    std::string bars;
    char last = ' ';
    bool dashed = false;
    for (int x = 0; x < image.width(); ++x) {
      const QColor c = image.pixelColor(x, y);
      dashed = dashed || (c.red() > 200 && c.green() > 200);
      const char bar = c.red() > 200 && c.green() < 100  ? 'R'
                       : c.blue() > 200 && c.red() < 150 ? 'B'
                                                         : ' ';
      if (bar != ' ' && bar != last) bars += bar;
      last = bar;
    }
    if (!dashed && bars.size() > most.size()) most = bars;
  }
  return most;
}
#endif

// gsdinfo's totals of the written GSD are the loader's count curve and the
// totals of the frames pydicom reads, gate by gate; its verdict names the
// gates off the mean, and its montage grows by a strip whose bars are the
// gates with counts, red where the verdict names them.
TEST(GsdInfo, GateTotalsAreTheCurveAndTheVerdictNamesTheGates) {
  const struct {
    const char* file;
    const char* verdict;
  } cases[] = {
      {"gating_flat", "gating: regular, every gate within 15 % of the mean"},
      {"gating_drop", "gating: irregular, gates 14-16 (-26 %) beyond 15 % of the mean"},
      {"gating_drop128", "gating: irregular, gates 14-16 (-26 %) beyond 15 % of the mean"},
      {"gating_empty_gate", "gating: irregular, gate 5 (-100 %) beyond 15 % of the mean"},
      {"gating_single", "gating: not gated (one gate)"},
      {"gated128_16x64", "gating: regular, every gate within 15 % of the mean"},
  };
  TempDir dir;
  for (const auto& c : cases) {
    ASSERT_EQ(Convert("", DataFile(c.file), dir.File("o.gsd")).exitCode, 0) << c.file;
    CommandResult info = RunCommand(kGsdInfo + " " + ShellQuote(dir.File("o.gsd")) + " --png " +
                                    ShellQuote(dir.File("o.png")));
    ASSERT_EQ(info.exitCode, 0) << info.output;
    EXPECT_NE(info.output.find("\n" + std::string(c.verdict) + "\n"), std::string::npos)
        << c.file << ": " << info.output;
    Study study;
    LoadReport report;
    ASSERT_EQ(LoadGatedStudy(DataFile(c.file).c_str(), study, {}, report), kLoadOk) << c.file;
    const GateCurve curve = CurveOfStudy(study);
    const std::vector<std::int16_t> expected = ExpectedFrames(c.file);
    const std::size_t gateValues = expected.size() / curve.totals.size();
    for (std::size_t g = 0; g < curve.totals.size(); ++g) {
      long long pydicom = 0;
      for (std::size_t i = g * gateValues; i < (g + 1) * gateValues; ++i) pydicom += expected[i];
      EXPECT_EQ(curve.totals[g], pydicom) << c.file << " gate " << g + 1;
      char row[64];
      std::snprintf(row, sizeof row, "\n%-6zu ", g + 1);
      const std::size_t at = info.output.find(row);
      ASSERT_NE(at, std::string::npos) << c.file << ": " << row;
      long long shown = 0, low = 0, high = 0;
      ASSERT_EQ(std::sscanf(info.output.c_str() + at, "%*d %lld %lld %lld", &low, &high, &shown),
                3);
      EXPECT_EQ(shown, curve.totals[g]) << c.file << " gate " << g + 1;
    }
    // Frames of 64 x 64, a row per gate; the strip only under more than one.
    const int gates = static_cast<int>(curve.totals.size());
    const long montageHeight = 64L * gates;
    long width = 0, height = 0;
    ASSERT_TRUE(PngSize(ReadBytes(dir.File("o.png")), width, height)) << c.file;
    EXPECT_EQ(width, 64L * study.record.frameCount) << c.file;
    EXPECT_EQ(height, montageHeight + (curve.Gated() ? 96 : 0)) << c.file;
#ifdef DGC_HAVE_QTGUI
    std::string bars;
    for (std::size_t g = 0; g < curve.totals.size() && curve.Gated(); ++g)
      if (curve.totals[g] > 0) bars += GateBeyond(curve, g, kGateTolerancePercent) ? 'R' : 'B';
    const QImage image(QString::fromStdString(dir.File("o.png")));
    ASSERT_FALSE(image.isNull()) << c.file;
    EXPECT_EQ(BarColours(image, static_cast<int>(montageHeight)), bars) << c.file;
#endif
  }
}

// Files that once crashed gsdinfo, printed without end or filled the memory:
// each is refused in one line, in little memory.
TEST(GsdInfo, HostileFilesEndInOneLine) {
  const std::string header =
      "tulvex\r\nid = ;\r\nname = ;\r\ndate = ;\r\ntime = ;\r\nsex = F;\r\nmatrix = 64;\r\n"
      "pixel = 0;\r\nthick = 0;\r\nhr = 0;\r\n";
  const struct {
    const char* label;
    std::string bytes;  // empty: /dev/zero
    const char* reason;
  } cases[] = {
      {"counts whose size overflows",
       header + "division = 1073741824;\r\nframes = 2097152;\r\norder = little;\r\n\x0C\r\n",
       "division 1073741824 is beyond 16 gates"},
      {"2147483647 gates",
       header + "division = 2147483647;\r\nframes = 0;\r\norder = little;\r\n\x0C\r\n",
       "beyond 16 gates"},
      {"65 frames", header + "division = 0;\r\nframes = 65;\r\norder = little;\r\n\x0C\r\n",
       "frames 65 is beyond 64"},
      {"/dev/zero", "", "header longer than 65536 bytes"},
      {"a header without end", "tulvex\r\n" + std::string(1 << 20, 'a'), "header longer"},
  };
#ifdef __SANITIZE_ADDRESS__
  const std::string memoryLimit;  // AddressSanitizer's shadow memory needs the address space
#else
  const std::string memoryLimit = "ulimit -v 300000; ";
#endif
  TempDir dir;
  for (const auto& c : cases) {
    std::string path = c.bytes.empty() ? "/dev/zero" : dir.File("hostile.gsd");
    if (!c.bytes.empty()) WriteBytes(path, c.bytes);
    CommandResult info =
        RunCommand(memoryLimit + kGsdInfo + " " + path + " --png " + dir.File("o.png"));
    EXPECT_EQ(info.exitCode, 1) << c.label << ": " << info.output;
    EXPECT_NE(info.standardError.find(c.reason), std::string::npos)
        << c.label << ": " << info.output;
    EXPECT_EQ(LineCount(info.standardError), 1) << c.label << ": " << info.standardError;
    EXPECT_EQ(info.standardOutput, "") << c.label;
  }
}

}  // namespace

namespace {

const std::string kRealFiles = std::string(DGC_SOURCE_DIR) + "/tests/data/real/";

TEST(Dicom2Gsd, RealNmFileFromAnotherToolkit) {
  // 13 ungated 64 x 64 frames: written first to last, the frame bytes are
  // the file's own pixel bytes.
  TempDir dir;
  CommandResult run =
      Convert("--base-to-apex", kRealFiles + "NM-MONO2-16-13x-heart.dcm", dir.File("o.gsd"));
  ASSERT_EQ(run.exitCode, 0) << run.output;
  std::string gsd = ReadBytes(dir.File("o.gsd"));
  std::string dicom = ReadBytes(kRealFiles + "NM-MONO2-16-13x-heart.dcm");
  std::size_t frames = gsd.find("\x0C\r\n") + 3;
  ASSERT_EQ(gsd.size() - frames, 106496u);
  EXPECT_NE(dicom.find(gsd.substr(frames)), std::string::npos) << "pixel bytes differ";
  EXPECT_NE(gsd.find("name = Anonymized;\r\n"), std::string::npos);
  EXPECT_NE(gsd.find("division = 0;\r\nframes = 13;\r\n"), std::string::npos);
}

TEST(Dicom2Gsd, RealSecondaryCaptureIsRefusedByItsMatrix) {
  TempDir dir;
  // A whole-body planar image: refused as such, and by its matrix when the
  // planar image is accepted.
  CommandResult run = Convert("", kRealFiles + "NM1_UNC", dir.File("o.gsd"));
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_NE(run.output.find("Image Type WHOLE BODY"), std::string::npos) << run.output;
  run = Convert("--accept-projections", kRealFiles + "NM1_UNC", dir.File("o.gsd"));
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_NE(run.output.find("matrix 1024 unsupported"), std::string::npos) << run.output;
}

}  // namespace

namespace {

TEST(Dicom2Gsd, SampleStudyBeats) {
  // The phantom's wall thickens towards end-systole (gate 4), which raises
  // its counts, and relaxes again: gate totals rise and fall.
  TempDir dir;
  for (const char* side : {"64", "128"}) {
    std::string input = std::string(DGC_TEST_DATA) + "/sample/sample_gated" + side + ".dcm";
    ASSERT_EQ(Convert("", input, dir.File("s.gsd")).exitCode, 0) << side;
    GsdFile gsd;
    std::string error;
    ASSERT_TRUE(ReadGsdFile(dir.File("s.gsd").c_str(), gsd, error)) << error;
    ASSERT_EQ(gsd.Gates(), 8);
    ASSERT_EQ(gsd.frames, 32);
    std::vector<long long> totals;
    for (int g = 0; g < 8; ++g) {
      long long total = 0;
      for (int f = 0; f < 32; ++f)
        for (int i = 0; i < 4096; ++i) total += gsd.Frame(g, f)[i];
      totals.push_back(total);
    }
    EXPECT_GT(totals[4], totals[0] * 105 / 100) << side;
    EXPECT_GT(totals[4], totals[7]) << side;
    EXPECT_EQ(*gsd.Field("name"), "SAMPLE^GATED");
  }
}

}  // namespace
