// The seam's contract: what every system's implementation of platform/ must
// do, as tables of cases. The same tables run against the POSIX services
// here and the Windows ones under wine.
#include <gtest/gtest.h>
#ifdef _WIN32
#include <windows.h>
#endif

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/child_launcher.h"
#include "platform/file_identity.h"
#include "platform/memory_map.h"
#include "platform/memory_stream.h"
#include "platform/program_folder.h"
#include "platform/terminal.h"
#include "platform/text_encoding.h"
#include "tests/platform/scratch_folder.h"

namespace {

namespace fs = std::filesystem;

const std::string kProbe = ProgramBeside("child_probe");
// What a program's file is named on this system.
#ifdef _WIN32
constexpr const char* kProgramSuffix = ".exe";
#else
constexpr const char* kProgramSuffix = "";
#endif

// Wine accepts a job's memory limit and does not enforce it: the row that
// needs the limit to bite holds on Windows itself, not there.
bool MemoryLimitUnenforced() {
#ifdef _WIN32
  return ::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
#else
  return false;
#endif
}

// Takes at most limit bytes, then refuses.
class LimitedSink : public ChildOutputSink {
 public:
  explicit LimitedSink(std::size_t limit) : limit_(limit) {}
  bool Room(char*& at, std::size_t& bytes) override {
    if (taken_ >= limit_) return false;
    at = buffer_;
    bytes = sizeof buffer_;
    return true;
  }
  void Took(std::size_t bytes) override { taken_ += bytes; }

 private:
  std::size_t limit_;
  std::size_t taken_ = 0;
  char buffer_[4096];
};

TEST(ChildLauncher, RunsEndsAndCapturesAsAsked) {
  const struct {
    const char* label;
    std::vector<std::string> steps;
    bool separateErrors;
    bool report;            // a report pipe
    long long deadline;     // ms
    long long cancelAfter;  // ms, 0: never
    std::optional<std::vector<std::string>> environment;
    const char* input;  // null: none
    std::uint64_t memory;
    int exitCode;
    bool timedOut, cancelled;
    const char* output;
    const char* errors;
    const char* reported = "";
    bool confined = false;  // ChildRun::confined
  } rows[] = {
      // clang-format off
      {"exit status and both outputs", {"out", "hello", "err", "oops", "exit", "3"},
       true, false, 10000, 0, std::nullopt, nullptr, 0, 3, false, false, "hello", "oops"},
      {"errors into the output, in order", {"out", "a", "err", "b", "out", "c"},
       false, false, 10000, 0, std::nullopt, nullptr, 0, 0, false, false, "abc", ""},
      {"the deadline ends it", {"out", "begun", "sleep", "30000"},
       true, false, 3000, 0, std::nullopt, nullptr, 0, -1, true, false, "begun", ""},
      {"a cancel ends it", {"sleep", "30000"},
       true, false, 30000, 200, std::nullopt, nullptr, 0, -1, false, true, "", ""},
      {"the input from its first byte", {"cat"},
       true, false, 10000, 0, std::nullopt, "study bytes\r\n\x1A\n", 0, 0, false, false,
       "study bytes\r\n\x1A\n", ""},
      {"no input", {"cat"},
       true, false, 10000, 0, std::nullopt, nullptr, 0, 0, false, false, "", ""},
      {"the environment given", {"env", "DGC_PROBE", "env", "PATH"},
       true, false, 10000, 0, std::vector<std::string>{"DGC_PROBE=given"}, nullptr, 0, 0, false, false,
       "given(none)", ""},
      {"the address-space limit", {"alloc", "512"},
       true, false, 10000, 0, std::nullopt, nullptr, 256u << 20, 0, false, false, "no memory", ""},
      {"within the limit", {"alloc", "16"},
       true, false, 10000, 0, std::nullopt, nullptr, 256u << 20, 0, false, false, "allocated", ""},
      {"a report pipe at its own descriptor", {"out", "a", "report", "{}", "err", "b"},
       true, true, 10000, 0, std::nullopt, nullptr, 0, 0, false, false, "a", "b", "{}"},
      {"no report pipe: nothing there", {"report", "{}", "out", "a"},
       true, false, 10000, 0, std::nullopt, nullptr, 0, 0, false, false, "a", "", ""},
      {"confined, it still reads its input and writes its pipes",
       {"cat", "err", "b", "report", "{}"},
       true, true, 10000, 0, std::nullopt, "in", 0, 0, false, false, "in", "b", "{}", true},
      {"the arguments as given, quoted for the child's parser",
       {"out", "two words", "out", "\"quoted\"", "out", "back\\slash\\", "out", "end\\\\\"",
        "out", "", "out", "C:\\Program Files\\", "out", "Müller 山田"},
       true, false, 10000, 0, std::nullopt, nullptr, 0, 0, false, false,
       "two words\"quoted\"back\\slash\\end\\\\\"C:\\Program Files\\Müller 山田", ""},
      {"the output is a pipe, not a terminal", {"terminal"},
       true, false, 10000, 0, std::nullopt, nullptr, 0, 0, false, false, "not a terminal 0", ""},
      // clang-format on
  };
  ScratchFolder dir;
  ASSERT_FALSE(dir.path().empty());
  for (const auto& row : rows) {
    if (row.memory != 0 && std::strcmp(row.output, "no memory") == 0 && MemoryLimitUnenforced()) {
      std::printf("not checked under wine: %s\n", row.label);
      continue;
    }
    TextSink output(1024), errors(1024), report(1024);
    ChildRun run;
    run.argv = {kProbe};
    run.argv.insert(run.argv.end(), row.steps.begin(), row.steps.end());
    run.environment = row.environment;
    run.output = &output;
    run.errors = row.separateErrors ? &errors : nullptr;
    if (row.report) run.report = &report;
    run.confined = row.confined;
    run.deadlineMilliseconds = row.deadline;
    run.addressSpaceLimit = row.memory;
    if (row.cancelAfter > 0)
      run.goOn = [&row](long long waited) { return waited < row.cancelAfter; };
    std::FILE* input = nullptr;
    if (row.input != nullptr) {
      // Read partway by the caller: the child still reads from the start.
      input = std::fopen(dir.File("input").c_str(), "w+b");
      ASSERT_NE(input, nullptr);
      std::fputs(row.input, input);
      std::rewind(input);
      std::fgetc(input);
      run.input = input;
    }
    const auto start = std::chrono::steady_clock::now();
    const ChildEnd end = RunChildProgram(run);
    if (input != nullptr) std::fclose(input);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10)) << row.label;
    EXPECT_EQ(end.startFailure, StartFailure::kNone) << row.label;
    EXPECT_EQ(end.exitCode, row.exitCode) << row.label;
    EXPECT_EQ(end.timedOut, row.timedOut) << row.label;
    EXPECT_EQ(end.cancelled, row.cancelled) << row.label;
    EXPECT_FALSE(end.refused || end.lost) << row.label;
    EXPECT_EQ(output.text(), row.output) << row.label;
    EXPECT_EQ(errors.text(), row.errors) << row.label;
    EXPECT_EQ(report.text(), row.reported) << row.label;
  }
}

ChildRun Running(std::vector<std::string> argv, long long deadline) {
  ChildRun run;
  run.argv = std::move(argv);
  run.deadlineMilliseconds = deadline;
  return run;
}

TEST(ChildLauncher, SaysWhyAChildDidNotRunOrWasEnded) {
  const std::string absent = (fs::path(ProgramFolder()) / "nonexistent" / "child_probe").string();
  const ChildEnd missing = RunChildProgram(Running({absent}, 1000));
  EXPECT_EQ(missing.startFailure, StartFailure::kInChild);
  EXPECT_EQ(missing.step, nullptr);  // the program itself
  EXPECT_EQ(missing.error, ENOENT);
  for (const char* relative : {"child_probe", "./child_probe", ""})
    EXPECT_EQ(RunChildProgram(Running({relative}, 1000)).startFailure, StartFailure::kNotAbsolute)
        << relative;
  EXPECT_EQ(RunChildProgram(Running({}, 1000)).startFailure, StartFailure::kNotAbsolute);
  // A sink that takes no more ends a child that writes on.
  LimitedSink small(64 << 10);
  ChildRun flood = Running({kProbe, "flood", "67108864", "sleep", "30000"}, 30000);
  flood.output = &small;
  const auto start = std::chrono::steady_clock::now();
  const ChildEnd refused = RunChildProgram(flood);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  EXPECT_TRUE(refused.refused);
  EXPECT_NE(refused.exitCode, 0);
  // Output nobody wants is read and dropped: the child never stops on it.
  EXPECT_EQ(RunChildProgram(Running({kProbe, "flood", "4194304", "exit", "5"}, 10000)).exitCode, 5);
}

// Whether the process runs still (a zombie does not).
bool Runs(unsigned long pid) {
#ifdef _WIN32
  const HANDLE process = ::OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(pid));
  if (process == nullptr) return false;
  const bool runs = ::WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
  ::CloseHandle(process);
  return runs;
#else
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text;
  std::getline(stat, text);
  const std::size_t name = text.rfind(')');
  return name != std::string::npos && name + 2 < text.size() && text[name + 2] != 'Z' &&
         text[name + 2] != 'X';
#endif
}

TEST(ChildLauncher, EndsTheChildWithItsParent) {
  // The probe starts one of its own, which says who it is and sleeps; the
  // probe is ended once that has been said, and its child ends with it.
  TextSink output(64), errors(1024);
  ChildRun run = Running({kProbe, "spawn", "pid", "out", ";", "sleep", "30000"}, 30000);
  run.output = &output;
  run.errors = &errors;
  run.goOn = [&output](long long) { return output.text().find(';') == std::string::npos; };
  const ChildEnd end = RunChildProgram(run);
  EXPECT_TRUE(end.cancelled) << errors.text();
  const unsigned long grandchild = std::strtoul(output.text().c_str(), nullptr, 10);
  ASSERT_NE(grandchild, 0u) << errors.text();
  const auto start = std::chrono::steady_clock::now();
  while (Runs(grandchild) && std::chrono::steady_clock::now() - start < std::chrono::seconds(10))
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_FALSE(Runs(grandchild));
}

TEST(ProgramFolder, IsWhereTheRunningProgramLies) {
  const std::string folder = ProgramFolder();
  ASSERT_FALSE(folder.empty());
  EXPECT_TRUE(fs::path(folder).is_absolute());
  EXPECT_TRUE(SameFile(folder, DGC_BINARY_DIR "/tests"));
  EXPECT_EQ(kProbe, (fs::path(folder) / "child_probe").string() + kProgramSuffix);
}

TEST(MemoryStream, ReadersReadTheSameBytes) {
  const std::string bytes("GSD\r\n\0\x1A\xFF tail", 13);
  ScratchFolder dir;
  ASSERT_FALSE(dir.path().empty());
  { std::ofstream(dir.File("bytes"), std::ios::binary) << bytes; }
  std::FILE* memory = OpenMemoryStream(bytes.data(), bytes.size());
  std::FILE* file = std::fopen(dir.File("bytes").c_str(), "rb");
  ASSERT_NE(memory, nullptr);
  ASSERT_NE(file, nullptr);
  MemoryReader fromMemory(bytes);
  StreamReader overMemory(memory), overFile(file);
  for (ByteReader* reader : std::vector<ByteReader*>{&fromMemory, &overMemory, &overFile}) {
    char first[5];
    EXPECT_EQ(reader->Read(first, 5), 5u);
    EXPECT_EQ(std::string(first, 5), "GSD\r\n");
    EXPECT_EQ(reader->Get(), 0);
    EXPECT_EQ(reader->Get(), 0x1A);
    EXPECT_EQ(reader->Get(), 0xFF);  // a byte, never taken for the end
    char rest[32];
    EXPECT_EQ(reader->Read(rest, sizeof rest), 5u);  // fewer only at the end
    EXPECT_EQ(std::string(rest, 5), " tail");
    EXPECT_EQ(reader->Get(), -1);
    EXPECT_EQ(reader->Read(rest, sizeof rest), 0u);
    EXPECT_EQ(reader->Error(), 0);
  }
  std::fclose(file);
  // The stream seeks and tells as a file does (the DICOM reader skips the
  // preamble so), and ends where the bytes end.
  EXPECT_EQ(std::fseek(memory, 8, SEEK_SET), 0);
  EXPECT_EQ(std::ftell(memory), 8);
  EXPECT_EQ(std::fgetc(memory), ' ');
  EXPECT_EQ(std::fseek(memory, 0, SEEK_END), 0);
  EXPECT_EQ(std::ftell(memory), 13);
  EXPECT_EQ(std::fgetc(memory), EOF);
  std::fclose(memory);
  std::FILE* empty = OpenMemoryStream(bytes.data(), 0);
  if (empty != nullptr) {
    EXPECT_EQ(std::fgetc(empty), EOF);
    std::fclose(empty);
  }
  MemoryReader nothing("");
  EXPECT_EQ(nothing.Get(), -1);
}

TEST(FileIdentity, NamesOfOneFileAgreeAndACopyDiffers) {
  ScratchFolder dir;
  ASSERT_FALSE(dir.path().empty());
  const fs::path a = dir.File("a.gsd");
  { std::ofstream(a, std::ios::binary) << "frames"; }
  fs::copy_file(a, dir.File("copy.gsd"));
  fs::create_hard_link(a, dir.File("link.gsd"));
  std::error_code noSymlinks;
  fs::create_symlink(a, dir.File("symlink.gsd"), noSymlinks);
  const struct {
    const char* label;
    fs::path other;
    bool same;
  } rows[] = {
      {"itself", a, true},
      {"a hard link", dir.File("link.gsd"), true},
      {"another spelling", fs::path(dir.File(".")) / "a.gsd", true},
      {"a copy", dir.File("copy.gsd"), false},
      {"a missing file", dir.File("missing.gsd"), false},
      {"the folder", dir.File("."), false},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(SameFile(a, row.other), row.same) << row.label;
    EXPECT_EQ(SameFile(row.other, a), row.same) << row.label;
  }
  if (!noSymlinks) {
    EXPECT_TRUE(SameFile(dir.File("symlink.gsd"), a));
  }
  EXPECT_FALSE(IdentityOfPath(dir.File("missing.gsd")));
  EXPECT_FALSE(SameFile(dir.File("missing.gsd"), dir.File("missing.gsd")));

  // A stream stays the file it was opened on when its name is given to
  // another.
  std::FILE* in = std::fopen(a.string().c_str(), "rb");
  ASSERT_NE(in, nullptr);
  const std::optional<FileIdentity> opened = IdentityOfStream(in);
  EXPECT_EQ(opened, IdentityOfPath(a));
  std::error_code refused;
  fs::rename(dir.File("copy.gsd"), a, refused);
#ifdef _WIN32
  // Except where the C library opens files without delete sharing: the name
  // of a file it holds open is not given to another at all.
  EXPECT_TRUE(refused);
#else
  EXPECT_FALSE(refused);
  EXPECT_TRUE(opened && IdentityOfPath(a) != *opened);
#endif
  EXPECT_EQ(opened, IdentityOfPath(dir.File("link.gsd")));
  std::fclose(in);
  const char text[] = "x";
  std::FILE* memory = OpenMemoryStream(text, 1);
  ASSERT_NE(memory, nullptr);
  EXPECT_FALSE(IdentityOfStream(memory));
  std::fclose(memory);
}

TEST(PageBuffer, GrowsKeepingItsBytes) {
  PageBuffer pages;
  EXPECT_EQ(pages.data(), nullptr);
  ASSERT_TRUE(pages.GrowTo(std::size_t{2} << 20));
  std::memset(pages.data(), 0x5A, pages.capacity());
  ASSERT_TRUE(pages.GrowTo(std::size_t{64} << 20));
  EXPECT_EQ(pages.capacity(), std::size_t{64} << 20);
  EXPECT_EQ(pages.data()[0], 0x5A);
  EXPECT_EQ(pages.data()[(std::size_t{2} << 20) - 1], 0x5A);
  EXPECT_EQ(pages.data()[std::size_t{2} << 20], 0);  // new pages are zero
  ASSERT_TRUE(pages.GrowTo(1));                      // never shrinks
  EXPECT_EQ(pages.capacity(), std::size_t{64} << 20);
  AdviseHugePages(pages.data(), pages.capacity());  // only advice
  EXPECT_EQ(pages.data()[0], 0x5A);
}

// The encodings a Specific Character Set names, as the system converts them:
// the same UTF-8 from glibc's iconv and from the Windows code pages.
TEST(TextEncoding, ConvertsEveryEncodingTheCharacterSetsName) {
  struct Case {
    const char* label;
    const char* encoding;
    std::string bytes;
    bool ok;
    std::string utf8;
  };
  const Case cases[] = {
      {"ASCII", "ASCII", "Doe^John", true, "Doe^John"},
      {"Latin-1", "ISO-8859-1", "M\xFCller", true, "M\u00FCller"},
      {"Latin-2", "ISO-8859-2",
       "\xA3\xF3"
       "d\xBC",
       true, "\u0141\u00F3d\u017A"},
      {"Cyrillic", "ISO-8859-5", "\xB8\xD2\xD0\xDD", true, "\u0418\u0432\u0430\u043D"},
      {"Greek", "ISO-8859-7", "\xC1\xE8\xDE\xED\xE1", true, "\u0391\u03B8\u03AE\u03BD\u03B1"},
      {"Latin-9 euro", "ISO-8859-15", "\xA4", true, "\u20AC"},
      {"half-width katakana", "SHIFT_JIS", "\xD4\xCF\xC0\xDE", true, "\uFF94\uFF8F\uFF80\uFF9E"},
      {"JIS X 0208 as EUC-JP", "EUC-JP", "\xBB\xB3\xC5\xC4", true, "\u5C71\u7530"},
      {"KS X 1001 as EUC-KR", "EUC-KR", "\xC8\xAB", true, "\uD64D"},
      {"GB 2312", "GB2312", "\xD6\xD0", true, "\u4E2D"},
      {"UTF-8", "UTF-8", "\xE5\xB1\xB1", true, "\u5C71"},
      {"a sequence cut at the end is dropped", "UTF-8", "a\xE5\xB1", true, "a"},
      {"a cut EUC-JP pair is dropped", "EUC-JP", "\xBB\xB3\xC5", true, "\u5C71"},
      {"invalid UTF-8 fails", "UTF-8", "\xFF\xFEx", false, ""},
      {"an unknown encoding fails", "NO-SUCH-ENCODING", "x", false, ""},
      {"nothing converts to nothing", "ISO-8859-1", "", true, ""},
  };
  for (const Case& c : cases) {
    std::string out = "kept:";
    EXPECT_EQ(AppendAsUtf8(c.encoding, c.bytes, out), c.ok) << c.label;
    EXPECT_EQ(out, "kept:" + (c.ok ? c.utf8 : std::string())) << c.label;
  }
}

}  // namespace
