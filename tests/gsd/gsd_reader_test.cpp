// The strict GSD reader accepts what the writer writes and names what is
// wrong with anything else; gsdinfo shows a header without passing its
// controls to the terminal and writes its montage under the output rules.
#include "gsd/gsd_reader.h"

#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "gsd/gsd_writer.h"
#include "tests/test_support.h"

namespace {

std::string ValidFile(int gates, int frames) {
  TStudyRecord record{};
  std::strcpy(record.sex, "F");
  record.gateCount = static_cast<std::int16_t>(gates);
  record.frameCount = frames;
  return ComposeGsdHeader(record) +
         std::string(static_cast<std::size_t>(gates > 1 ? gates : 1) * frames * 8192, '\0');
}

std::string Replace(std::string text, const std::string& from, const std::string& to) {
  std::size_t at = text.find(from);
  if (at != std::string::npos) text.replace(at, from.size(), to);
  return text;
}

struct MalformedCase {
  const char* label;
  std::string bytes;
  const char* reason;  // a part of the error text
};

TEST(ParseGsd, AcceptsTheWritersOutput) {
  GsdFile file;
  std::string error;
  ASSERT_TRUE(ParseGsd(ValidFile(2, 3), file, error)) << error;
  EXPECT_EQ(file.Gates(), 2);
  EXPECT_EQ(file.frames, 3);
  EXPECT_EQ(*file.Field("sex"), "F");
  EXPECT_EQ(*file.Field("pixel"), "    0.0000000000");
  ASSERT_TRUE(ParseGsd(ValidFile(0, 0), file, error)) << error;
  EXPECT_TRUE(file.values.empty());
}

TEST(ParseGsd, RejectsMalformedFiles) {
  const std::string good = ValidFile(2, 1);
  const MalformedCase cases[] = {
      {"empty", "", "the file is empty"},
      {"wrong identifier", Replace(good, "tulvex", "tulvey"), "identifier"},
      {"LF line ends", Replace(good, "id = ;\r\n", "id = ;\n"), "bare LF"},
      {"no terminator", good.substr(0, good.find('\x0C')), "no CR LF"},
      {"missing semicolon", Replace(good, "hr = 0;", "hr = 0"), "key = value"},
      {"upper-case key", Replace(good, "hr = 0;", "HR = 0;"), "key = value"},
      {"missing key", Replace(good, "hr = 0;\r\n", ""), "no \"hr\""},
      {"matrix 128", Replace(good, "matrix = 64;", "matrix = 128;"), "matrix"},
      {"big endian", Replace(good, "order = little;", "order = big;"), "order"},
      {"division not a number", Replace(good, "division = 2;", "division = two;"), "division"},
      {"one byte short", good.substr(0, good.size() - 1), "need 16384"},
      {"one byte long", good + "x", "need 16384"},
      {"17 gates", Replace(good, "division = 2;", "division = 17;"), "beyond 16 gates"},
      {"65 frames", Replace(good, "frames = 1;", "frames = 65;"), "beyond 64 frames"},
      {"negative division", Replace(good, "division = 2;", "division = -1;"),
       "division -1 is negative"},
      {"negative frames", Replace(good, "frames = 1;", "frames = -2;"), "frames -2 is negative"},
      {"a key given twice", Replace(good, "hr = 0;\r\n", "hr = 0;\r\nhr = 120;\r\n"),
       "header line 11 repeats the key \"hr\""},
  };
  for (const MalformedCase& c : cases) {
    GsdFile file;
    std::string error;
    EXPECT_FALSE(ParseGsd(c.bytes, file, error)) << c.label;
    EXPECT_NE(error.find(c.reason), std::string::npos) << c.label << ": " << error;
  }
}

TEST(ReadGsdFile, NamesWhatCannotBeRead) {
  TempDir dir;
  struct Case {
    std::string path;
    const char* reason;
  };
  std::vector<Case> cases = {
      {dir.File("nonexistent/x.gsd"), "cannot open: No such file"},
#ifdef _WIN32
      {dir.path(), "cannot open: Is a directory"},  // a folder's handle reads nothing
#else
      {dir.path(), "cannot read: Is a directory"},
#endif
  };
#ifndef _WIN32
  ASSERT_EQ(::mkfifo(dir.File("fifo").c_str(), 0600), 0);
  // No writer: neither the open nor a read waits.
  cases.push_back({dir.File("fifo"), "the file is empty"});
#endif
  for (const auto& c : cases) {
    GsdFile file;
    std::string error;
    EXPECT_FALSE(ReadGsdFile(c.path.c_str(), file, error)) << c.path;
    EXPECT_NE(error.find(c.reason), std::string::npos) << c.path << ": " << error;
  }
}

#ifndef _WIN32  // a POSIX shell and POSIX links: gsdinfo.exe goes end to end in tests/windows
const std::string kGsdInfo = std::string(DGC_BINARY_DIR) + "/gsdinfo";

// gsdinfo on hostile headers and inputs, and its montage onto files it
// must not overwrite. Each runs under a time limit: nothing may wait.
TEST(GsdInfo, HostileHeadersInputsAndMontageTargets) {
  TempDir dir;
  const std::string good = ValidFile(2, 1);
  const std::string in = dir.File("in.gsd");
  ASSERT_EQ(::mkfifo(dir.File("fifo").c_str(), 0600), 0);
  const struct {
    const char* label;
    std::string bytes;  // written to in.gsd
    std::string arguments;
    int status;
    const char* shown;  // a part of the output
  } cases[] = {
      {"terminal controls in a header value",
       Replace(good, "date = ;", "date = \x1B]0;x\x07\x1B[2J;"), in, 0,
       "date:     \\x1B]0;x\\x07\\x1B[2J"},
      {"a byte above 0x7F",
       Replace(good, "time = ;",
               "time = \x9B"
               "31m;"),
       in, 0, "time:     \\x9B31m"},
      {"a key given twice", Replace(good, "sex = F;", "sex = F;\r\nsex = M;"), in, 1,
       "repeats the key \"sex\""},
      {"negative division", Replace(good, "division = 2;", "division = -2;"), in, 1,
       "division -2 is negative"},
      {"negative frames", Replace(good, "frames = 1;", "frames = -1;"), in, 1,
       "frames -1 is negative"},
      {"a folder", good, dir.path(), 1, "cannot read: Is a directory"},
      {"a FIFO without a writer", good, dir.File("fifo"), 1, "the file is empty"},
      {"--png onto its input", good, in + " --png " + in, 1, "it is the input file"},
      {"--png onto a link to its input", good, in + " --png " + dir.File("link"), 1,
       "it is the input file"},
      {"--png onto a hard link of its input", good, in + " --png " + dir.File("twin"), 1,
       "it is the input file"},
  };
  ASSERT_EQ(::symlink(in.c_str(), dir.File("link").c_str()), 0);
  for (const auto& c : cases) {
    ::unlink(dir.File("twin").c_str());
    WriteBytes(in, c.bytes);
    ASSERT_EQ(::link(in.c_str(), dir.File("twin").c_str()), 0);
    CommandResult info = RunCommand("timeout 20 " + kGsdInfo + " " + c.arguments);
    EXPECT_EQ(info.exitCode, c.status) << c.label << ": " << info.output;
    EXPECT_NE(info.output.find(c.shown), std::string::npos) << c.label << ": " << info.output;
    EXPECT_EQ(info.output.find_first_of("\x07\x1B\x9B"), std::string::npos) << c.label;
    EXPECT_EQ(ReadBytes(in), c.bytes) << c.label << ": the input changed";
  }
}

// The montage goes through the same output rules as a converted study: a
// link that another user planted in a shared folder is not followed.
TEST(GsdInfo, MontageRefusesALinkPlantedInASharedFolder) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to play another user";
  TempDir dir;
  ::chmod(dir.path().c_str(), 01777);
  WriteBytes(dir.File("in.gsd"), ValidFile(1, 1));
  WriteBytes(dir.File("secret"), "root's own");
  ::chmod(dir.File("secret").c_str(), 0600);
  ASSERT_EQ(::symlink(dir.File("secret").c_str(), dir.File("m.png").c_str()), 0);
  ASSERT_EQ(::lchown(dir.File("m.png").c_str(), 65534, 65534), 0);
  CommandResult info =
      RunCommand(kGsdInfo + " " + dir.File("in.gsd") + " --png " + dir.File("m.png"));
  EXPECT_EQ(info.exitCode, 1) << info.output;
  EXPECT_NE(info.output.find("symbolic link of user 65534"), std::string::npos) << info.output;
  EXPECT_EQ(ReadBytes(dir.File("secret")), "root's own");
}
#endif

}  // namespace
