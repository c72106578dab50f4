// dicom2gsd's folder mode on a CD-like tree that pydicom, DCMTK's dcmmkdir
// and GDCM write at test time: the table, the conversions (byte-equal to
// the single-file mode, at one and two at a time), the summary and the exit
// status, and the walk's limits.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

const std::string kDicom2Gsd = std::string(DGC_BINARY_DIR) + "/dicom2gsd";

class FolderScan : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    tree_ = new TempDir();
    CommandResult made =
        RunCommand("/usr/bin/python3 " +
                   ShellQuote(std::string(DGC_SOURCE_DIR) + "/tests/batch/make_tree.py") + " " +
                   ShellQuote(Tree()) + " 2>&1");
    ASSERT_EQ(made.exitCode, 0) << made.output;
  }
  static void TearDownTestSuite() {
    delete tree_;
    tree_ = nullptr;
  }
  static std::string Tree() { return tree_->File("cd"); }
  static CommandResult Dicom2Gsd(const std::string& arguments) {
    return RunCommand(kDicom2Gsd + " " + arguments);
  }
  // Root reads a file of mode 000: it is then a study like the others.
  static bool LockedIsReadable() { return ::geteuid() == 0; }

  static TempDir* tree_;
};

TempDir* FolderScan::tree_ = nullptr;

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::vector<std::string> Words(const std::string& line) {
  std::vector<std::string> words;
  std::istringstream in(line);
  for (std::string word; in >> word;) words.push_back(word);
  return words;
}

TEST_F(FolderScan, ListsEachNmStudyOnceGatedFirst) {
  CommandResult run = Dicom2Gsd("--scan " + ShellQuote(Tree()));
  ASSERT_EQ(run.exitCode, 0) << run.output;
  std::vector<std::string> lines = Lines(run.standardOutput);
  // Patient ID, gates x frames, matrix, transfer syntax's first word, file.
  struct Row {
    const char* patient;
    const char* gates;
    const char* matrix;
    const char* syntax;
    const char* file;
  };
  std::vector<Row> rows = {
      {"P1", "8 x 4", "64 x 64", "Explicit", "/DATA/NM1"},
      {"P3", "8 x 4", "128 x 128", "Implicit", "/export/series 2/gated128"},
      {"P4", "16 x 8", "64 x 64", "JPEG-LS", "/export/series 2/gated_jpegls.dcm"},
      {"P6", "2 x 4", "32 x 32", "Explicit", "/export/series 2/small.dcm"},
      {"P7", "8 x 4", "64 x 64", "Explicit", "/export/series 2/locked.dcm"},
      {"P5", "1 x 2", "64 x 64", "Explicit", "/export/series 2/static.dcm"},
  };
  if (!LockedIsReadable()) rows.erase(rows.begin() + 4);
  ASSERT_EQ(lines.size(), rows.size() + 1) << run.standardOutput;
  EXPECT_EQ(Words(lines[0])[0], "Patient");
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const std::string& line = lines[i + 1];
    SCOPED_TRACE(line);
    EXPECT_EQ(Words(line)[0], rows[i].patient);
    EXPECT_EQ(Words(line)[1], std::string("Test^") + rows[i].patient);
    EXPECT_NE(line.find("  " + std::string(rows[i].gates) + "  "), std::string::npos);
    EXPECT_NE(line.find("  " + std::string(rows[i].matrix) + "  "), std::string::npos);
    EXPECT_NE(line.find("  " + std::string(rows[i].syntax)), std::string::npos);
    // The DICOMDIR's copy, not the byte copy that sorts before it.
    EXPECT_EQ(line.substr(line.size() - std::string(rows[i].file).size()), rows[i].file);
  }
  EXPECT_NE(run.standardError.find("scanned " + std::string(LockedIsReadable() ? "11" : "10") +
                                   " files, " + std::to_string(rows.size()) + " NM studies"),
            std::string::npos)
      << run.standardError;
  if (!LockedIsReadable()) {
    EXPECT_NE(run.standardError.find("locked.dcm: "), std::string::npos) << run.standardError;
  }
  // The text file, CT, MR, the link loop and the FIFO go unmentioned.
  EXPECT_EQ(run.standardError.find("README"), std::string::npos);
  EXPECT_EQ(run.standardError.find("fifo"), std::string::npos);
}

TEST_F(FolderScan, ConvertsLikeTheSingleFileModeAtAnyNumberOfJobs) {
  TempDir out1, out2, single;
  CommandResult one =
      Dicom2Gsd("--scan --sex M --out " + ShellQuote(out1.path()) + " --jobs 1 " + "--report " +
                ShellQuote(single.File("report.jsonl")) + " " + ShellQuote(Tree()));
  CommandResult two = Dicom2Gsd("--scan --sex M --out " + ShellQuote(out2.path()) + " --jobs 2 " +
                                ShellQuote(Tree()));
  // The worst result: a refused 32 x 32 study and a declined static one.
  EXPECT_EQ(one.exitCode, 1) << one.output;
  EXPECT_EQ(two.exitCode, 1) << two.output;
  const std::string summary = LockedIsReadable() ? "converted 4, declined 1, failed 1"
                                                 : "converted 3, declined 1, failed 1";
  EXPECT_NE(one.standardError.find(summary), std::string::npos) << one.standardError;
  EXPECT_NE(one.standardError.find("  declined: " + Tree() +
                                   "/export/series 2/static.dcm: Image "
                                   "Type STATIC"),
            std::string::npos)
      << one.standardError;
  EXPECT_NE(one.standardError.find("  failed: " + Tree() + "/export/series 2/small.dcm: matrix 32"),
            std::string::npos);

  std::vector<std::string> names = out1.Entries();
  std::sort(names.begin(), names.end());
  std::vector<std::string> names2 = out2.Entries();
  std::sort(names2.begin(), names2.end());
  EXPECT_EQ(names, names2);
  ASSERT_EQ(names.size(), LockedIsReadable() ? 4u : 3u);
  const std::vector<std::string> inputs = {"DATA/NM1", "export/series 2/gated128",
                                           "export/series 2/gated_jpegls.dcm"};
  for (const std::string& input : inputs) {
    std::string path = single.File(std::to_string(&input - inputs.data()) + ".gsd");
    CommandResult alone = Dicom2Gsd("--sex M " + ShellQuote(Tree() + "/" + input) + " " + path);
    ASSERT_EQ(alone.exitCode, 0) << alone.output;
    const std::string bytes = ReadBytes(path);
    auto same = [&](const TempDir& dir) {
      return std::any_of(names.begin(), names.end(), [&](const std::string& name) {
        return ReadBytes(dir.File(name)) == bytes;
      });
    };
    EXPECT_TRUE(same(out1)) << input;
    EXPECT_TRUE(same(out2)) << input;
  }

  std::vector<std::string> report = Lines(ReadBytes(single.File("report.jsonl")));
  EXPECT_EQ(report.size(), LockedIsReadable() ? 6u : 5u);
  for (const char* outcome : {"\"outcome\":\"declined\"", "\"outcome\":\"failed\""})
    EXPECT_EQ(std::count_if(
                  report.begin(), report.end(),
                  [&](const std::string& line) { return line.find(outcome) != std::string::npos; }),
              1)
        << outcome;

  // Another run never replaces a file: the dry run names the suffixed ones.
  CommandResult dry = Dicom2Gsd("--scan --dry-run --out " + ShellQuote(out1.path()) + " " +
                                ShellQuote(Tree() + "/DATA"));
  EXPECT_EQ(dry.exitCode, 0) << dry.output;
  EXPECT_NE(dry.standardOutput.find(Tree() + "/DATA/NM1 -> " + out1.path() + "/P1_"),
            std::string::npos);
  EXPECT_NE(dry.standardOutput.find("-1.gsd\n"), std::string::npos) << dry.standardOutput;
  EXPECT_EQ(out1.Entries().size(), names.size());
}

TEST_F(FolderScan, RefusesOptionsThatDoNotFit) {
  const char* const usages[] = {
      "--scan",
      "--out /tmp x.dcm y.gsd",
      "--name %i.gsd x.dcm y.gsd",
      "--scan --jobs 0 /tmp",
      "--scan --dry-run /tmp",
      "--scan --name %i.gsd /tmp",
      "--scan --jobs 2 /tmp",
      "--scan --out /tmp --name a/b.gsd /tmp",
  };
  for (const char* usage : usages) EXPECT_EQ(Dicom2Gsd(usage).exitCode, 2) << usage;
  EXPECT_EQ(Dicom2Gsd("--scan --out /nonexistent/folder /tmp").exitCode, 1);
  // --scan after its path counts all the same.
  CommandResult late = Dicom2Gsd(ShellQuote(Tree() + "/DATA") + " --scan");
  EXPECT_EQ(late.exitCode, 0) << late.output;
  EXPECT_EQ(Lines(late.standardOutput).size(), 2u) << late.standardOutput;
}

TEST_F(FolderScan, StopsAtTheDepthLimit) {
  TempDir deep;
  std::string path = deep.path();
  for (int i = 0; i < 40; ++i) {
    path += "/d";
    ASSERT_EQ(::mkdir(path.c_str(), 0755), 0);
  }
  WriteBytes(path + "/NM1", ReadBytes(Tree() + "/DATA/NM1"));
  CommandResult run = Dicom2Gsd("--scan " + ShellQuote(deep.path()));
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(Lines(run.standardOutput).size(), 1u);
  EXPECT_NE(run.standardError.find("more than 32 folders deep"), std::string::npos)
      << run.standardError;
}

}  // namespace
