// dicom2gsd's folder mode on a CD-like tree that pydicom, DCMTK's dcmmkdir
// and GDCM write at test time: the table, the conversions (byte-equal to
// the single-file mode, at one and two at a time), the summary and the exit
// status, the walk's limits, and what another user who may write the tree
// can plant in it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "core/gated_loader.h"
#include "model/study_state.h"
#include "process/conversion_log.h"
#include "process/terminal_text.h"
#include "scan/open_beneath.h"
#include "scan/study_facts.h"
#include "scan/tree_scan.h"
#include "tests/test_support.h"

namespace {

const std::string kDicom2Gsd = std::string(DGC_BINARY_DIR) + "/dicom2gsd";

class FolderScan : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    tree_ = new TempDir();
    CommandResult made = RunCommand(
        "/usr/bin/python3 " + ShellQuote(std::string(DGC_SOURCE_DIR) + "/tests/scan/make_tree.py") +
        " " + ShellQuote(Tree()) + " 2>&1");
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
  // A copy of the tree's DICOMDIR and DATA folder in dir/tree: one NM
  // study (P1), listed with a CT series and an MR image.
  static std::string CopyOfTheDicomdir(const TempDir& dir) {
    const std::string tree = dir.File("tree");
    CommandResult copied =
        RunCommand("mkdir " + ShellQuote(tree) + " && cp -a " + ShellQuote(Tree() + "/DICOMDIR") +
                   " " + ShellQuote(Tree() + "/DATA") + " " + ShellQuote(tree));
    EXPECT_EQ(copied.exitCode, 0) << copied.output;
    return tree;
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
  // Every option a conversion takes reaches each child, as given.
  const std::string options =
      "--sex M --base-to-apex --height 170 --weight 65.5 --comment 'rest study' ";
  CommandResult one =
      Dicom2Gsd("--scan " + options + "--out " + ShellQuote(out1.path()) + " --jobs 1 " +
                "--report " + ShellQuote(single.File("report.jsonl")) + " " + ShellQuote(Tree()));
  CommandResult two = Dicom2Gsd("--scan " + options + "--out " + ShellQuote(out2.path()) +
                                " --jobs 2 " + ShellQuote(Tree()));
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
    CommandResult alone = Dicom2Gsd(options + ShellQuote(Tree() + "/" + input) + " " + path);
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
      "--cross-devices x.dcm y.gsd",
      "--scan --expect-sop-uid 1.2 /tmp",
      "--expect-patient-id",
  };
  for (const char* usage : usages) EXPECT_EQ(Dicom2Gsd(usage).exitCode, 2) << usage;
  EXPECT_EQ(Dicom2Gsd("--scan --out /nonexistent/folder /tmp").exitCode, 1);
  // --scan after its path counts all the same.
  CommandResult late = Dicom2Gsd(ShellQuote(Tree() + "/DATA") + " --scan");
  EXPECT_EQ(late.exitCode, 0) << late.output;
  EXPECT_EQ(Lines(late.standardOutput).size(), 2u) << late.standardOutput;
}

TEST_F(FolderScan, StopsAtTheDepthLimit) {
  for (int depth : {32, 33, 40}) {
    SCOPED_TRACE(depth);
    TempDir deep;
    std::string path = deep.path();
    for (int i = 0; i < depth; ++i) {
      path += "/d";
      ASSERT_EQ(::mkdir(path.c_str(), 0755), 0);
    }
    WriteBytes(path + "/NM1", ReadBytes(Tree() + "/DATA/NM1"));
    CommandResult run = Dicom2Gsd("--scan " + ShellQuote(deep.path()));
    EXPECT_EQ(run.exitCode, 0);
    const bool listed = depth <= kMaxScanDepth;
    EXPECT_EQ(Lines(run.standardOutput).size(), listed ? 2u : 1u) << run.standardOutput;
    // The first folder too deep is named, none below it.
    EXPECT_EQ(run.standardError.find("more than 32 folders deep") != std::string::npos, !listed)
        << run.standardError;
    EXPECT_EQ(std::count(run.standardError.begin(), run.standardError.end(), '\n'), listed ? 1 : 2)
        << run.standardError;
  }
}

// Names given by the stderr lines, one per line, as "PATH: reason".
int LinesNaming(const std::string& text, const std::string& path) {
  int count = 0;
  for (const std::string& line : Lines(text))
    if (line.find(path + ": ") != std::string::npos) ++count;
  return count;
}

// Another user who may write a folder of the tree plants links out of it,
// and a FIFO and a device under names the DICOMDIR lists: none is followed
// or opened, each is named once, and the study behind the links (in a
// folder only root may read) is neither listed nor converted.
TEST_F(FolderScan, StaysInTheTreeItWasGiven) {
  TempDir dir, out;
  const std::string tree = CopyOfTheDicomdir(dir), data = tree + "/DATA";
  const std::string hidden = dir.File("private");
  ASSERT_EQ(::mkdir(hidden.c_str(), 0700), 0);
  WriteBytes(hidden + "/P3.dcm", ReadBytes(Tree() + "/export/series 2/gated128"));
  ASSERT_EQ(::symlink("/", (tree + "/root").c_str()), 0);
  ASSERT_EQ(::symlink("../private", (tree + "/private").c_str()), 0);
  ASSERT_EQ(::symlink(hidden.c_str(), (data + "/absolute").c_str()), 0);
  for (const char* listed : {"CT1", "CT2", "MR1"})
    ASSERT_EQ(::unlink((data + "/" + listed).c_str()), 0);
  ASSERT_EQ(::symlink("../../private/P3.dcm", (data + "/CT1").c_str()), 0);
  ASSERT_EQ(::mkfifo((data + "/CT2").c_str(), 0666), 0);
  const bool device = ::mknod((data + "/MR1").c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0;
  if (!device) {
    ASSERT_EQ(::symlink("/dev/null", (data + "/MR1").c_str()), 0);
  }
  // An open of the FIFO or the device, even one that reads nothing, shows here.
  const int watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  ASSERT_GE(watch, 0);
  ASSERT_GE(::inotify_add_watch(watch, (data + "/CT2").c_str(), IN_OPEN), 0);
  if (device) {
    ASSERT_GE(::inotify_add_watch(watch, (data + "/MR1").c_str(), IN_OPEN), 0);
  }

  CommandResult run = Dicom2Gsd("--scan --out " + ShellQuote(out.path()) + " " + ShellQuote(tree));
  EXPECT_EQ(run.exitCode, 0) << run.output;
  std::vector<std::string> lines = Lines(run.standardOutput);
  ASSERT_EQ(lines.size(), 2u) << run.standardOutput;
  EXPECT_NE(lines[1].find(data + "/NM1"), std::string::npos) << lines[1];
  EXPECT_EQ(out.Entries().size(), 1u);
  const struct {
    std::string path;
    const char* reason;
  } named[] = {{tree + "/root", "a link that leads out of the scanned tree"},
               {tree + "/private", "a link that leads out of the scanned tree"},
               {data + "/absolute", "a link that leads out of the scanned tree"},
               {data + "/CT1", "a link that leads out of the scanned tree"},
               {data + "/CT2", "a FIFO; not opened"},
               {data + "/MR1", device ? "a device; not opened" : "a link that leads out"}};
  for (const auto& row : named) {
    EXPECT_EQ(LinesNaming(run.standardError, row.path), 1) << row.path << "\n" << run.standardError;
    EXPECT_NE(run.standardError.find(row.path + ": " + row.reason), std::string::npos)
        << run.standardError;
  }
  char events[4096];
  EXPECT_LT(::read(watch, events, sizeof events), 0) << "the FIFO or the device was opened";
  ::close(watch);
}

// The kernel's resolution beneath a folder and the walk that stands in for
// it where openat2 is missing answer alike, the 40-link budget included.
TEST(OpenBeneath, TheKernelAndTheWalkAgree) {
  TempDir dir;
  const std::string root = dir.File("root");
  ASSERT_EQ(::mkdir(root.c_str(), 0755), 0);
  ASSERT_EQ(::mkdir((root + "/a").c_str(), 0755), 0);
  WriteBytes(root + "/a/f", "f");
  WriteBytes(dir.File("outside"), "o");
  auto link = [&](const std::string& target, const std::string& name) {
    ASSERT_EQ(::symlink(target.c_str(), (root + "/" + name).c_str()), 0) << name;
  };
  link("a/..", "up");
  link("..", "parent");
  link("../outside", "out");
  link(root + "/a/f", "absolute");
  link("../a/f", "a/sibling");
  link("../../root/a/f", "a/outAndBack");
  link("loop2", "loop1");
  link("loop1", "loop2");
  link("nothing", "dangling");
  for (int i = 0; i < 40; ++i)
    link(i == 39 ? "a/f" : "c" + std::to_string(i + 1), "c" + std::to_string(i));
  for (int i = 0; i < 41; ++i)
    link(i == 40 ? "a/f" : "d" + std::to_string(i + 1), "d" + std::to_string(i));
  const struct {
    const char* relative;
    int error;
    const char* target;  // what it opens, below root
  } rows[] = {{"", 0, ""},
              {"a/f", 0, "a/f"},
              {"up/a/f", 0, "a/f"},
              {"a/sibling", 0, "a/f"},
              {"c0", 0, "a/f"},
              {"d0", ELOOP, nullptr},
              {"parent", EXDEV, nullptr},
              {"out", EXDEV, nullptr},
              {"absolute", EXDEV, nullptr},
              {"a/outAndBack", EXDEV, nullptr},
              {"a/../..", EXDEV, nullptr},
              {"loop1", ELOOP, nullptr},
              {"dangling", ENOENT, nullptr},
              {"a/f/x", ENOTDIR, nullptr}};
  const int rootFd = ::open(root.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  ASSERT_GE(rootFd, 0);
  for (BeneathWay way : {BeneathWay::kKernelFirst, BeneathWay::kWalkOnly}) {
    for (const auto& row : rows) {
      SCOPED_TRACE(std::string(row.relative) + (way == BeneathWay::kWalkOnly ? " (walk)" : ""));
      const int fd = OpenPathBeneath(rootFd, row.relative, way);
      EXPECT_EQ(fd >= 0 ? 0 : -fd, row.error) << BeneathFailure(-fd);
      if (fd < 0) continue;
      struct stat opened, expected;
      ASSERT_EQ(::fstat(fd, &opened), 0);
      ASSERT_EQ(::stat((root + "/" + row.target).c_str(), &expected), 0);
      EXPECT_EQ(opened.st_ino, expected.st_ino);
      ::close(fd);
    }
  }
  ::close(rootFd);
}

// Mounts below the path given (made in a mount namespace of the test's
// own): another file system only with --cross-devices, the kernel's own
// never.
TEST_F(FolderScan, EntersOtherFileSystemsOnlyWhenAskedAndTheKernelsNever) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to mount in a namespace of its own";
  TempDir dir;
  const std::string tree = CopyOfTheDicomdir(dir);
  for (const char* mount : {"mnt", "proc", "sys", "dev"})
    ASSERT_EQ(::mkdir((tree + "/" + mount).c_str(), 0755), 0);
  const std::string study = dir.File("P3.dcm");
  WriteBytes(study, ReadBytes(Tree() + "/export/series 2/gated128"));
  for (const char* option : {"", "--cross-devices "}) {
    SCOPED_TRACE(option);
    const std::string t = ShellQuote(tree);
    CommandResult run = RunCommand(
        "unshare --mount sh -c " +
        ShellQuote("mount -t tmpfs tmpfs " + t + "/mnt && cp " + ShellQuote(study) + " " + t +
                   "/mnt/ && mount -t proc proc " + t + "/proc && mount -t sysfs sysfs " + t +
                   "/sys && mount -t devtmpfs devtmpfs " + t + "/dev || exit 99; " + kDicom2Gsd +
                   " --scan " + option + t));
    if (run.exitCode == 99) GTEST_SKIP() << "cannot mount here: " << run.output;
    EXPECT_EQ(run.exitCode, 0) << run.output;
    const bool crosses = *option != '\0';
    EXPECT_EQ(run.standardOutput.find("/mnt/P3.dcm") != std::string::npos, crosses)
        << run.standardOutput;
    EXPECT_EQ(LinesNaming(run.standardError, tree + "/mnt"), crosses ? 0 : 1) << run.standardError;
    for (const char* kernel : {"proc", "sys", "dev"})
      EXPECT_EQ(LinesNaming(run.standardError, tree + "/" + kernel), 1) << run.standardError;
    for (const char* kind : {"proc", "sysfs", "devtmpfs"})
      EXPECT_NE(run.standardError.find(std::string("the kernel's ") + kind + " file system"),
                std::string::npos)
          << run.standardError;
  }
}

// A CD mounted without its ISO 9660 extensions shows lower-case names: the
// DICOMDIR's entries are still found there (its copy of NM1 is listed, not
// the byte copy that sorts first), and a listed file that is missing is
// named once.
TEST_F(FolderScan, FollowsTheDicomdirOnALowerCaseCopy) {
  TempDir dir;
  const std::string tree = dir.File("cd");
  ASSERT_EQ(::mkdir(tree.c_str(), 0755), 0);
  ASSERT_EQ(::mkdir((tree + "/data").c_str(), 0755), 0);
  WriteBytes(tree + "/dicomdir", ReadBytes(Tree() + "/DICOMDIR"));
  for (const char* file : {"NM1", "CT2", "MR1"}) {
    std::string lower = file;
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    WriteBytes(tree + "/data/" + lower, ReadBytes(Tree() + "/DATA/" + file));
  }
  WriteBytes(tree + "/0 copy of nm1", ReadBytes(Tree() + "/DATA/NM1"));
  CommandResult run = Dicom2Gsd("--scan " + ShellQuote(tree));
  EXPECT_EQ(run.exitCode, 0) << run.output;
  std::vector<std::string> lines = Lines(run.standardOutput);
  ASSERT_EQ(lines.size(), 2u) << run.standardOutput;
  EXPECT_EQ(lines[1].substr(lines[1].size() - 9), "/data/nm1") << lines[1];
  EXPECT_EQ(LinesNaming(run.standardError, tree + "/DATA/CT1"), 1) << run.standardError;
  EXPECT_NE(run.standardError.find("DATA/CT1: listed in the DICOMDIR, but missing"),
            std::string::npos)
      << run.standardError;
  EXPECT_EQ(Lines(run.standardError).size(), 2u) << run.standardError;
}

// Two studies, the first short and the last converting: the run ends with
// the worst status; and a dry run gives one name once.
TEST_F(FolderScan, TheWorstStatusAndEachNameOnce) {
  TempDir dir, out, dry;
  const std::string tree = dir.File("tree");
  ASSERT_EQ(::mkdir(tree.c_str(), 0755), 0);
  const std::string whole = ReadBytes(Tree() + "/DATA/NM1");
  WriteBytes(tree + "/short.dcm", whole.substr(0, whole.size() - 1000));
  WriteBytes(tree + "/zz.dcm", ReadBytes(Tree() + "/export/series 2/gated128"));
  CommandResult run =
      Dicom2Gsd("--scan --jobs 1 --out " + ShellQuote(out.path()) + " " + ShellQuote(tree));
  // P3 converts after P1 came out short: 4 all the same.
  EXPECT_EQ(run.exitCode, 4) << run.output;
  EXPECT_NE(run.standardError.find("converted 1, declined 0, failed 1"), std::string::npos)
      << run.standardError;
  const std::vector<std::string> studies = Lines(run.standardOutput);
  ASSERT_EQ(studies.size(), 3u);
  EXPECT_NE(studies.back().find("/zz.dcm"), std::string::npos) << run.standardOutput;

  CommandResult named = Dicom2Gsd("--scan --dry-run --name same.gsd --out " +
                                  ShellQuote(dry.path()) + " " + ShellQuote(tree));
  EXPECT_EQ(named.exitCode, 0) << named.output;
  EXPECT_NE(named.standardOutput.find(" -> " + dry.path() + "/same.gsd\n"), std::string::npos)
      << named.standardOutput;
  EXPECT_NE(named.standardOutput.find(" -> " + dry.path() + "/same-1.gsd\n"), std::string::npos)
      << named.standardOutput;
  EXPECT_TRUE(dry.Entries().empty());
}

// The cell of a table line under the column named name: the header gives
// where it starts, the next column where it ends (the padding trimmed).
std::string Cell(const std::string& header, const std::string& line, const std::string& name) {
  const std::size_t at = header.find(name);
  if (at == std::string::npos || at >= line.size()) return "?";
  std::size_t next = header.find_first_not_of(' ', header.find("  ", at));
  std::string cell = line.substr(at, next == std::string::npos ? std::string::npos : next - at);
  return cell.substr(0, cell.find_last_not_of(' ') + 1);
}

// The gating as the conversions count it, at the tolerance given to the
// scan: the worst gate beside the beats kept in the table (a listing alone
// reads no pixels and leaves it "-"), a flag in the summary and the report
// for a study whose gating looks irregular, and none for a regular one.
TEST_F(FolderScan, NamesTheStudiesWhoseGatingLooksIrregular) {
  const struct {
    const char* options;
    const char* file;
    const char* beatsKept;
    const char* worstGate;
    int worstGatePercent;
    const char* flag;  // nullptr: not flagged
  } rows[] = {
      {"", "gating_drop", "92 %", "14 (-26 %)", -26, "gates 14-16 (-26 %)"},
      {"", "gating_flat", "92 %", "1 (0 %)", 0, nullptr},
      {"", "gating_rejected30", "70 %", "1 (0 %)", 0, "30 % of beats rejected"},
      {"", "gating_single", "-", "-", 0, nullptr},
      {"--gating-tolerance 30", "gating_drop", "92 %", "14 (-26 %)", -26, nullptr},
      {"--gating-tolerance 30", "gating_flat", "92 %", "1 (0 %)", 0, nullptr},
      {"--gating-tolerance 30", "gating_rejected30", "70 %", "1 (0 %)", 0,
       "30 % of beats rejected"},
      {"--gating-tolerance 30", "gating_single", "-", "-", 0, nullptr},
  };
  TempDir dir;
  const std::string tree = dir.File("tree");
  ASSERT_EQ(::mkdir(tree.c_str(), 0755), 0);
  for (const char* file : {"gating_drop", "gating_flat", "gating_rejected30", "gating_single"})
    WriteBytes(tree + "/" + file + ".dcm", ReadBytes(DataFile(file)));
  CommandResult listed = Dicom2Gsd("--scan " + ShellQuote(tree));
  ASSERT_EQ(listed.exitCode, 0) << listed.output;
  const std::vector<std::string> list = Lines(listed.standardOutput);
  ASSERT_EQ(list.size(), 5u) << listed.standardOutput;
  for (std::size_t i = 1; i < list.size(); ++i)
    EXPECT_EQ(Cell(list[0], list[i], "Worst gate"), "-") << list[i];

  for (const char* options : {"", "--gating-tolerance 30"}) {
    SCOPED_TRACE(options);
    TempDir out;
    const std::string report = dir.File("report.jsonl");
    std::remove(report.c_str());
    CommandResult run =
        Dicom2Gsd("--scan " + std::string(options) + " --out " + ShellQuote(out.path()) +
                  " --report " + ShellQuote(report) + " " + ShellQuote(tree));
    ASSERT_EQ(run.exitCode, 0) << run.output;
    const std::vector<std::string> table = Lines(run.standardOutput);
    ASSERT_EQ(table.size(), 5u) << run.standardOutput;
    const std::vector<std::string> lines = Lines(ReadBytes(report));
    int flagged = 0;
    for (const auto& row : rows) {
      if (std::string(row.options) != options) continue;
      SCOPED_TRACE(row.file);
      const std::string path = tree + "/" + row.file + ".dcm";
      const auto line = std::find_if(table.begin(), table.end(), [&](const std::string& l) {
        return l.size() >= path.size() && l.compare(l.size() - path.size(), path.size(), path) == 0;
      });
      ASSERT_NE(line, table.end()) << run.standardOutput;
      EXPECT_EQ(Cell(table[0], *line, "Beats kept"), row.beatsKept);
      EXPECT_EQ(Cell(table[0], *line, "Worst gate"), row.worstGate);
      const std::string named = "  gating irregular: " + path + ": ";
      if (row.flag != nullptr) {
        ++flagged;
        EXPECT_NE(run.standardError.find(named + row.flag + "\n"), std::string::npos)
            << run.standardError;
      } else {
        EXPECT_EQ(run.standardError.find(named), std::string::npos) << run.standardError;
      }
      const auto logged = std::find_if(lines.begin(), lines.end(), [&](const std::string& l) {
        return l.find("\"input\":\"" + path + "\"") != std::string::npos;
      });
      ASSERT_NE(logged, lines.end()) << ReadBytes(report);
      // The beats kept from the header, as the table shows them.
      const std::string kept = row.beatsKept;
      if (kept == "-")
        EXPECT_EQ(logged->find("beats_kept_percent"), std::string::npos) << *logged;
      else
        EXPECT_NE(logged->find(",\"beats_kept_percent\":" + kept.substr(0, kept.find(' ')) + ","),
                  std::string::npos)
            << *logged;
      const std::string percent = "\"worst_gate_percent\":" + std::to_string(row.worstGatePercent);
      const std::size_t at = logged->find(percent);
      if (std::string(row.worstGate) != "-") {
        ASSERT_NE(at, std::string::npos) << *logged;
        EXPECT_FALSE(std::isdigit(static_cast<unsigned char>((*logged)[at + percent.size()])))
            << *logged;
      } else {
        EXPECT_EQ(logged->find("worst_gate"), std::string::npos) << *logged;
      }
      EXPECT_EQ(logged->find(std::string(",\"gating\":\"") + (row.flag ? row.flag : "")) !=
                    std::string::npos,
                row.flag != nullptr)
          << *logged;
    }
    EXPECT_NE(run.standardError.find("converted 4, declined 0, failed 0, gating irregular " +
                                     std::to_string(flagged) + "\n"),
              std::string::npos)
        << run.standardError;
  }
}

// The converter each study gets, replaced by a stand-in beside a copy of
// dicom2gsd: one that exits 0 without writing, and one that swaps the
// scanned file for another patient's study as it starts, as another user
// who may write the folder could.
TEST_F(FolderScan, AChildsWordIsCheckedAgainstItsWork) {
  const struct {
    const char* label;
    const char* script;  // %s: the real dicom2gsd; INPUT and OTHER stand for the paths
    const char* reason;
  } rows[] = {
      {"exits 0, writes nothing", "#!/bin/sh\nexit 0\n", ": dicom2gsd wrote nothing"},
      {"swaps the study", "#!/bin/sh\ncp OTHER INPUT\nexec REAL \"$@\"\n",
       ": the file changed since it was scanned: its SOP Instance UID (0008,0018) is"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.label);
    TempDir dir, out;
    const std::string input = dir.File("tree/NM1");
    ASSERT_EQ(::mkdir(dir.File("tree").c_str(), 0755), 0);
    WriteBytes(input, ReadBytes(Tree() + "/DATA/NM1"));
    WriteBytes(dir.File("other.dcm"), ReadBytes(Tree() + "/export/series 2/gated128"));
    std::string script = row.script;
    for (const auto& [mark, text] :
         {std::pair<std::string, std::string>{"OTHER", dir.File("other.dcm")},
          {"INPUT", input},
          {"REAL", kDicom2Gsd}}) {
      const std::size_t at = script.find(mark);
      if (at != std::string::npos) script.replace(at, mark.size(), ShellQuote(text));
    }
    // The folder mode runs the dicom2gsd beside itself.
    const std::string scanner = dir.File("scanner");
    if (::link(kDicom2Gsd.c_str(), scanner.c_str()) != 0) {
      WriteBytes(scanner, ReadBytes(kDicom2Gsd));
      ::chmod(scanner.c_str(), 0755);
    }
    WriteBytes(dir.File("dicom2gsd"), script);
    ::chmod(dir.File("dicom2gsd").c_str(), 0755);
    CommandResult run = RunCommand(scanner + " --scan --out " + ShellQuote(out.path()) + " " +
                                   ShellQuote(dir.File("tree")));
    EXPECT_EQ(run.exitCode, 1) << run.output;
    EXPECT_NE(run.standardError.find("converted 0, declined 0, failed 1"), std::string::npos)
        << run.standardError;
    EXPECT_NE(run.standardError.find("  failed: " + input + row.reason), std::string::npos)
        << run.standardError;
    EXPECT_TRUE(out.Entries().empty()) << out.Entries()[0];
  }
}

// Names a DICOM file system may hold: UTF-8, Latin-1 bytes and escape
// sequences. No control reaches stderr or the dry run's list, and the
// report's paths read back as the files (Python's json and os.fsencode).
TEST_F(FolderScan, HostileNamesReachNoTerminalAndTheReportReadsBack) {
  TempDir dir, out, dry;
  const std::string tree = dir.File("tree");
  const std::string folders[] = {"\xc3\x89tudes", "\xe9t\xe9",
                                 "x\x1b]0;title\x07\xc2\x9b"
                                 "2Jy"};
  const std::string studies[] = {"DATA/NM1", "export/series 2/gated128",
                                 "export/series 2/locked.dcm"};
  ASSERT_EQ(::mkdir(tree.c_str(), 0755), 0);
  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(::mkdir((tree + "/" + folders[i]).c_str(), 0755), 0);
    if (i == 2 && !LockedIsReadable()) continue;
    WriteBytes(tree + "/" + folders[i] + "/study.dcm", ReadBytes(Tree() + "/" + studies[i]));
  }
  const std::string report = dir.File("report.jsonl");
  CommandResult run = Dicom2Gsd("--scan --out " + ShellQuote(out.path()) + " --report " +
                                ShellQuote(report) + " " + ShellQuote(tree));
  CommandResult listed =
      Dicom2Gsd("--scan --dry-run --out " + ShellQuote(dry.path()) + " " + ShellQuote(tree));
  EXPECT_EQ(run.exitCode, 0) << run.output;
  for (const CommandResult* result : {&run, &listed}) {
    const std::string text = result->output;
    EXPECT_EQ(text.find('\x1b'), std::string::npos) << text;
    EXPECT_EQ(text.find('\x07'), std::string::npos) << text;
    EXPECT_EQ(text.find("\xc2\x9b"), std::string::npos) << text;
    EXPECT_NE(text.find("/x\\x1B]0;title\\x07\\xC2\\x9B2Jy/study.dcm"), std::string::npos) << text;
    EXPECT_NE(text.find("/\xc3\x89tudes/study.dcm"), std::string::npos) << text;
    EXPECT_NE(text.find("/\\xE9t\\xE9/study.dcm"), std::string::npos) << text;
  }
  CommandResult read =
      RunCommand("/usr/bin/python3 -c " +
                 ShellQuote("import json, os, sys\n"
                            "for line in open(sys.argv[1], encoding='utf-8'):\n"
                            "    path = os.fsencode(json.loads(line)['input'])\n"
                            "    print(os.path.isfile(path), path.split(b'/')[-2])\n") +
                 " " + ShellQuote(report));
  EXPECT_EQ(read.exitCode, 0) << read.output;
  EXPECT_EQ(Lines(read.standardOutput).size(), LockedIsReadable() ? 3u : 2u) << read.output;
  EXPECT_EQ(read.standardOutput.find("False"), std::string::npos) << read.output;
}

// The one filter for terminals and the JSON log's strings, byte by byte.
// The table's gates and frames per gate are those the loader converts: old
// files that count their slices in Number of Slices beside a Number of
// Frames below 5 or none, and frames left over beyond gates x slices.
class StudyFactsTest : public FreshStateTest {};

TEST_F(StudyFactsTest, FramesPerGateAsTheLoaderCounts) {
  for (const char* name :
       {"gated64", "gates0", "gated128_16x64", "nf256_ns32", "nf_missing_ns32", "nf4_ns32",
        "nf130_16gates", "gating_flat", "gating_rejected30", "gating_beats_top"}) {
    const std::string path = DataFile(name);
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0) << path;
    StudyFacts facts;
    std::string error;
    const FactsResult read = ReadStudyFacts(fd, path, facts, error);
    ::close(fd);
    ASSERT_EQ(read, FactsResult::kStudy) << name << ": " << error;
    ASSERT_EQ(Load(path), kLoadOk) << name << ": " << report.detail;
    EXPECT_EQ(facts.framesPerGate, study.record.frameCount) << name;
    EXPECT_EQ(facts.gates, std::max<int>(1, study.record.gateCount)) << name;
    // The beats as DCMTK reads them for the table, and as the loader's scan does.
    EXPECT_EQ(facts.intervalsAcquired, study.found.beats.acquired) << name;
    EXPECT_EQ(facts.intervalsRejected, study.found.beats.rejected) << name;
  }
}

TEST(TerminalText, ControlsEscapedAndUtf8Kept) {
  const struct {
    std::string text, shown, json;
  } rows[] = {
      {"plain", "plain", "\"plain\""},
      {"\xc3\x89tudes", "\xc3\x89tudes", "\"\xc3\x89tudes\""},
      {"\xe9t\xe9", "\\xE9t\\xE9", "\"\\udce9t\\udce9\""},
      {"a\x1b[2Jb\x07", "a\\x1B[2Jb\\x07", "\"a\\u001b[2Jb\\u0007\""},
      {"del\x7f", "del\\x7F", "\"del\\u007f\""},
      {"c1 \xc2\x9b \xc2\x85 \xc2\xa0", "c1 \\xC2\\x9B \\xC2\\x85 \xc2\xa0",
       "\"c1 \\u009b \\u0085 \xc2\xa0\""},
      {"raw c1 \x9b", "raw c1 \\x9B", "\"raw c1 \\udc9b\""},
      {"overlong \xc0\xaf", "overlong \\xC0\\xAF", "\"overlong \\udcc0\\udcaf\""},
      {"surrogate \xed\xa0\x80", "surrogate \\xED\\xA0\\x80",
       "\"surrogate \\udced\\udca0\\udc80\""},
      {"cut \xe2\x82", "cut \\xE2\\x82", "\"cut \\udce2\\udc82\""},
      {"4 bytes \xf0\x9f\x98\x80", "4 bytes \xf0\x9f\x98\x80", "\"4 bytes \xf0\x9f\x98\x80\""},
      {"above \xf4\x90\x80\x80", "above \\xF4\\x90\\x80\\x80",
       "\"above \\udcf4\\udc90\\udc80\\udc80\""},
      {"q\"\\", "q\"\\", "\"q\\\"\\\\\""},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(TerminalText(row.text), row.shown) << row.text;
    EXPECT_EQ(TerminalText(row.shown), row.shown) << "shown twice: " << row.text;
    EXPECT_EQ(JsonString(row.text), row.json) << row.text;
  }
}

}  // namespace
