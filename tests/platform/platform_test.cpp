// The seam's contract: what every system's implementation of platform/ must
// do, as tables of cases. The same tables run against the POSIX services
// here and the Windows ones under wine.
#include <gtest/gtest.h>
#ifdef _WIN32
#include <windows.h>
#else
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
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
#ifndef _WIN32
#include "platform/daemon_signals.h"
#include "platform/descriptor.h"
#include "platform/durable_folder.h"
#include "platform/file_descriptor.h"
#include "platform/file_status.h"
#include "platform/held_program.h"
#include "platform/pipe_pages.h"
#include "platform/process_id.h"
#include "platform/process_limits.h"
#include "platform/standard_input.h"
#include "platform/standby_child.h"
#include "platform/thread_group.h"
#include "platform/usable_cores.h"
#include "platform/watched_socket.h"
#endif

namespace {

namespace fs = std::filesystem;

const std::string kProbe = ProgramBeside("child_probe");
// What a program's file is named on this system.
#ifdef _WIN32
constexpr const char* kProgramSuffix = ".exe";
#else
constexpr const char* kProgramSuffix = "";
#endif

// Wine accepts a job's memory limit and neither enforces it nor reads it
// back: the rows that need the limit to bite, or a process to read its own,
// hold on Windows itself, not there.
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
      // The address space left (process_limits.h) counts against the limit
      // the launcher set.
      {"the address space left under the limit", {"space-left"},
       true, false, 10000, 0, std::nullopt, nullptr, 256u << 20, 0, false, false,
       "left below the limit", ""},
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
    const bool limitShows = std::strcmp(row.output, "no memory") == 0 ||
                            std::strcmp(row.output, "left below the limit") == 0;
    if (row.memory != 0 && limitShows && MemoryLimitUnenforced()) {
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

#ifndef _WIN32
// The services of a process and of the node that only the POSIX side has
// so far.

std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST(DurableFolder, StepsSayWhatTheSystemDid) {
  ScratchFolder dir;
  ASSERT_FALSE(dir.path().empty());
  { std::ofstream(dir.File("a"), std::ios::binary) << "first"; }
  { std::ofstream(dir.File("b"), std::ios::binary) << "second"; }
  fs::create_directory(dir.File("sub"));
  fs::create_symlink(dir.File("a"), dir.File("link"));
  fs::create_symlink(dir.File("sub"), dir.File("sublink"));
  PathFacts facts;
  std::string resolved;
  const struct {
    const char* label;
    std::function<int()> step;
    int error;
  } rows[] = {
      {"a new folder", [&] { return MakeFolder(dir.File("made"), 0700); }, 0},
      {"a folder where one is", [&] { return MakeFolder(dir.File("sub"), 0700); }, EEXIST},
      {"a folder where a file is", [&] { return MakeFolder(dir.File("a"), 0700); }, EEXIST},
      {"a missing name looked at", [&] { return LookAtPath(dir.File("none"), true, facts); },
       ENOENT},
      {"a file synced", [&] { return SyncFileByName(dir.File("a")); }, 0},
      {"a file never synced through a link", [&] { return SyncFileByName(dir.File("link")); },
       ELOOP},
      {"a folder synced", [&] { return SyncFolderByName(dir.File("sub")); }, 0},
      {"a file synced as a folder", [&] { return SyncFolderByName(dir.File("a")); }, ENOTDIR},
      {"a rename onto a taken name",
       [&] { return RenameWithoutReplacing(dir.File("a"), dir.File("b")); }, EEXIST},
      {"a rename onto a free name",
       [&] { return RenameWithoutReplacing(dir.File("b"), dir.File("c")); }, 0},
      {"a copy onto a taken name", [&] { return CopyToNewFile(dir.File("a"), dir.File("c")); },
       EEXIST},
      {"a copy never through a link",
       [&] { return CopyToNewFile(dir.File("link"), dir.File("d")); }, ELOOP},
      {"a copy onto a free name", [&] { return CopyToNewFile(dir.File("a"), dir.File("d")); }, 0},
      {"a rename that replaces", [&] { return RenameReplacing(dir.File("d"), dir.File("c")); }, 0},
      {"a missing file removed", [&] { return RemoveFileByName(dir.File("none")); }, ENOENT},
      {"a link resolved", [&] { return ResolvedPath(dir.File("sublink") + "/../a", resolved); }, 0},
      {"a program that may not run", [&] { return MayRun(dir.File("a")); }, EACCES},
      {"a program that may", [] { return MayRun("/bin/sh"); }, 0},
  };
  for (const auto& row : rows) EXPECT_EQ(row.step(), row.error) << row.label;
  // What the steps left.
  EXPECT_EQ(Slurp(dir.File("a")), "first");
  EXPECT_EQ(Slurp(dir.File("c")), "first");
  EXPECT_FALSE(fs::exists(dir.File("b")));
  EXPECT_FALSE(fs::exists(dir.File("d")));
  EXPECT_EQ(fs::path(resolved), fs::canonical(dir.File("a")));
  EXPECT_EQ(LookAtPath(dir.File("made"), false, facts), 0);
  EXPECT_TRUE(facts.folder);
  EXPECT_EQ(facts.owner, EffectiveUser());
  EXPECT_EQ(facts.permissions & 0077, 0u);  // 0700 less any umask

  // Links are looked at themselves unless followed; the listing sees them so.
  const struct {
    const char* name;
    bool follow, folder, regularFile;
  } kinds[] = {
      {"a", false, false, true},   {"sub", false, true, false},      {"link", false, false, false},
      {"link", true, false, true}, {"sublink", false, false, false}, {"sublink", true, true, false},
  };
  for (const auto& kind : kinds) {
    ASSERT_EQ(LookAtPath(dir.File(kind.name), kind.follow, facts), 0) << kind.name;
    EXPECT_EQ(facts.folder, kind.folder) << kind.name << " " << kind.follow;
    EXPECT_EQ(facts.regularFile, kind.regularFile) << kind.name << " " << kind.follow;
  }
  std::vector<FolderEntry> entries;
  ASSERT_TRUE(ListFolder(dir.path(), entries));
  std::vector<std::string> names;
  for (const FolderEntry& entry : entries) {
    names.push_back(entry.name);
    EXPECT_TRUE(entry.looked) << entry.name;
    if (entry.name == "link" || entry.name == "sublink") {
      EXPECT_FALSE(entry.facts.folder || entry.facts.regularFile) << entry.name;
    }
  }
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"a", "c", "link", "made", "sub", "sublink"}));
  EXPECT_FALSE(ListFolder(dir.File("none"), entries));
  // Removes what it picks, never a folder.
  RemoveFromFolder(dir.path(), [](const char* name) { return name[0] != 'a'; });
  names.clear();
  for (const auto& entry : fs::directory_iterator(dir.path()))
    names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"a", "made", "sub"}));
}

TEST(FileDescriptor, OpensNeverThroughALinkAndSaysWhy) {
  ScratchFolder dir;
  ASSERT_FALSE(dir.path().empty());
  { std::ofstream(dir.File("kept"), std::ios::binary) << "kept bytes"; }
  fs::create_symlink(dir.File("kept"), dir.File("link"));
  const struct {
    const char* label;
    const char* name;
    bool write;
    NewFile how;
    int error;          // 0: opened
    const char* after;  // what the file then holds
  } rows[] = {
      {"a new file", "new", true, NewFile::kExclusive, 0, ""},
      {"an exclusive one where one is", "kept", true, NewFile::kExclusive, EEXIST, "kept bytes"},
      {"never written through a link", "link", true, NewFile::kTruncate, ELOOP, "kept bytes"},
      {"never read through a link", "link", false, NewFile::kTruncate, ELOOP, "kept bytes"},
      {"a missing one read", "missing", false, NewFile::kTruncate, ENOENT, ""},
      {"a file read", "kept", false, NewFile::kTruncate, 0, "kept bytes"},
      {"one emptied", "kept", true, NewFile::kTruncate, 0, ""},
  };
  for (const auto& row : rows) {
    errno = 0;
    const std::string path = dir.File(row.name);
    const int fd =
        row.write ? OpenDescriptorForWriting(path, row.how, 0600) : OpenDescriptorForReading(path);
    EXPECT_EQ(fd < 0 ? errno : 0, row.error) << row.label;
    if (fd >= 0) {
      EXPECT_EQ(CloseDescriptor(fd), 0) << row.label;
    }
    EXPECT_EQ(Slurp(dir.File(row.name == std::string("link") ? "kept" : row.name)), row.after)
        << row.label;
  }
  // Bytes written whole are read back; a read past the end reads nothing.
  const int out = OpenDescriptorForWriting(dir.File("data"), NewFile::kExclusive, 0600);
  ASSERT_GE(out, 0);
  const std::string bytes(100000, 'z');
  EXPECT_TRUE(WriteWholeDescriptor(out, bytes.data(), bytes.size()));
  EXPECT_EQ(WriteDescriptor(out, "!", 1), 1);
  EXPECT_EQ(SyncToDisk(out), 0);
  EXPECT_EQ(CloseDescriptor(out), 0);
  EXPECT_EQ(CloseDescriptor(out), EBADF);
  const int in = OpenDescriptorForReading(dir.File("data"));
  ASSERT_GE(in, 0);
  std::string back(bytes.size() + 10, '\0');
  long long total = 0, n;
  while ((n = ReadDescriptor(in, &back[total], back.size() - total)) > 0) total += n;
  EXPECT_EQ(n, 0);
  EXPECT_EQ(back.substr(0, total), bytes + "!");
  EXPECT_EQ(WriteDescriptor(in, "x", 1), -1);  // opened for reading only
  CloseDescriptor(in);
}

// Standard input or output, for a while the given descriptor.
class StandardStreamSwap {
 public:
  StandardStreamSwap(int standard, int fd) : standard_(standard), saved_(::dup(standard)) {
    std::fflush(stdout);
    ::dup2(fd, standard);
  }
  ~StandardStreamSwap() {
    ::dup2(saved_, standard_);
    ::close(saved_);
  }

 private:
  int standard_, saved_;
};

TEST(StandardInput, FilesAreMappedFromWhereTheyStandPipesRead) {
  ScratchFolder dir;
  ASSERT_FALSE(dir.path().empty());
  const struct {
    const char* label;
    bool pipe;
    std::string bytes;
    long offset;  // read by the caller before
    bool mapped;
  } rows[] = {
      {"a file, from its start", false, std::string("DICM\0\x01tail", 10), 0, true},
      {"a file read partway", false, "preamble+data", 9, true},
      {"a file read to its end", false, "all read", 8, false},
      {"an empty file", false, "", 0, false},
      {"a pipe", true, "piped bytes", 0, false},
  };
  for (const auto& row : rows) {
    const std::string& bytes = row.bytes;
    int fd = -1, ends[2] = {-1, -1};
    if (row.pipe) {
      ASSERT_EQ(::pipe(ends), 0);
      ASSERT_EQ(::write(ends[1], bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
      ::close(ends[1]);
      fd = ends[0];
    } else {
      { std::ofstream(dir.File("input"), std::ios::binary | std::ios::trunc) << bytes; }
      fd = ::open(dir.File("input").c_str(), O_RDONLY);
      ASSERT_GE(fd, 0);
      ::lseek(fd, row.offset, SEEK_SET);
    }
    std::string taken;
    {
      StandardStreamSwap swap(0, fd);
      EXPECT_EQ(StandardInputIsRegularFile(), !row.pipe) << row.label;
      const char* data = nullptr;
      std::size_t size = 0;
      EXPECT_EQ(MapStandardInput(data, size), row.mapped) << row.label;
      if (row.mapped)
        taken.assign(data, size);
      else
        EXPECT_EQ(ReadStandardInput(taken), 0) << row.label;
    }
    ::close(fd);
    EXPECT_EQ(taken, bytes.substr(static_cast<std::size_t>(row.offset))) << row.label;
  }
}

TEST(PipePages, AreAlignedWholeAndGoOutByReferenceOrCopied) {
  constexpr std::size_t kHuge = std::size_t{2} << 20;
  const struct {
    std::size_t bytes, mapped;
  } sizes[] = {{1, kHuge}, {kHuge, kHuge}, {kHuge + 1, 2 * kHuge}};
  for (const auto& size : sizes) {
    PipePages pages;
    ASSERT_TRUE(pages.Allocate(size.bytes)) << size.bytes;
    EXPECT_EQ(pages.mapped(), size.mapped) << size.bytes;
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(pages.data()) % kHuge, 0u) << size.bytes;
    EXPECT_EQ(pages.data()[0], 0);
    EXPECT_EQ(pages.data()[pages.mapped() - 1], 0);
  }
  // Into a pipe by reference; into a file copied, from the first refusal on.
  ScratchFolder dir;
  ASSERT_FALSE(dir.path().empty());
  for (const bool pipe : {true, false}) {
    PipePages pages;
    ASSERT_TRUE(pages.Allocate(4096));
    std::memset(pages.data(), 'p', 4096);
    int ends[2] = {-1, -1};
    if (pipe) {
      ASSERT_EQ(::pipe(ends), 0);
    } else {
      ends[0] = ::open(dir.File("out").c_str(), O_RDONLY | O_CREAT, 0600);
      ends[1] = ::open(dir.File("out").c_str(), O_WRONLY);
    }
    bool spliceable = true, written;
    {
      StandardStreamSwap swap(1, ends[1]);
      written = WriteAllToStandardOutput("head", 4) &&
                WritePagesToStandardOutput(pages.data(), 4096, spliceable);
    }
    ::close(ends[1]);
    EXPECT_TRUE(written) << pipe;
    EXPECT_EQ(spliceable, pipe);
    std::string out(5000, '\0');
    std::size_t got = 0;
    ssize_t n;
    while ((n = ::read(ends[0], &out[got], out.size() - got)) > 0) got += n;
    ::close(ends[0]);
    EXPECT_EQ(out.substr(0, got), "head" + std::string(4096, 'p')) << pipe;
  }
}

TEST(ProcessLimits, ReadBackAsSetAndTheAddressSpaceLeftFollowsTheLimit) {
  for (const ProcessLimit limit : {ProcessLimit::kCpuSeconds, ProcessLimit::kAddressSpaceBytes,
                                   ProcessLimit::kCoreFileBytes}) {
    const ProcessLimitPair now = ProcessLimitOf(limit);
    EXPECT_LE(now.soft, now.hard);
    EXPECT_EQ(SetProcessLimit(limit, now), 0);
    const ProcessLimitPair same = ProcessLimitOf(limit);
    EXPECT_EQ(same.soft, now.soft);
    EXPECT_EQ(same.hard, now.hard);
    if (now.hard != kNoProcessLimit && ::geteuid() != 0) {
      EXPECT_EQ(SetProcessLimit(limit, {now.soft, now.hard + 1}), EPERM);
    }
  }
  // A soft limit lowered and raised again, within the hard one.
  const ProcessLimitPair core = ProcessLimitOf(ProcessLimit::kCoreFileBytes);
  EXPECT_EQ(SetProcessLimit(ProcessLimit::kCoreFileBytes, {0, core.hard}), 0);
  EXPECT_EQ(ProcessLimitOf(ProcessLimit::kCoreFileBytes).soft, 0u);
  EXPECT_EQ(SetProcessLimit(ProcessLimit::kCoreFileBytes, core), 0);
  EXPECT_EQ(ProcessLimitOf(ProcessLimit::kCoreFileBytes).soft, core.soft);
  if (ProcessLimitOf(ProcessLimit::kAddressSpaceBytes).soft == kNoProcessLimit) {
    EXPECT_EQ(AddressSpaceLeft(), 0u);  // no limit: nothing to tell
  }
  EXPECT_GE(UsableCores(), 1);
  EXPECT_EQ(ThisProcessId(), static_cast<long>(::getpid()));
  EXPECT_EQ(ParentProcessId(), static_cast<long>(::getppid()));
}

void Count(void* counter) {
  ++*static_cast<std::atomic<int>*>(counter);
}

TEST(ThreadGroup, RunsItsWorkOnEveryThreadItStarts) {
  const struct {
    std::size_t count, stack;
  } rows[] = {{0, 256 << 10}, {1, 256 << 10}, {8, 256 << 10}, {3, 8 << 20}};
  for (const auto& row : rows) {
    std::atomic<int> counter{0};
    {
      ThreadGroup group(Count, &counter);
      EXPECT_EQ(group.Start(row.count, row.stack), row.count);
      group.JoinAll();
      EXPECT_EQ(counter, static_cast<int>(row.count));
      EXPECT_EQ(group.Start(2, row.stack), 2u);
    }  // joined by its end
    EXPECT_EQ(counter, static_cast<int>(row.count) + 2);
  }
}

TEST(StandbyChild, WaitsForItsByteAndEndsAsItsWorkEnds) {
  const int sh = HoldProgram("/bin/sh");
  ASSERT_GE(sh, 0);
  EXPECT_EQ(HoldProgram("/"), -1);  // no regular file
  EXPECT_EQ(HoldProgram("/nonexistent/program"), -1);
  const struct {
    const char* label;
    bool wake;  // else the pipe closes unwritten
    char byte;
    int exitCode, signal;
  } rows[] = {
      {"its work's status", true, 'G', 'G', 0},
      {"a held program run", true, 'x', 7, 0},
      {"a held program's signal", true, 'k', -1, SIGTERM},
      {"no byte: it ends", false, 0, 0, 0},
  };
  for (const auto& row : rows) {
    const StandbyChild child = StartStandbyChild([sh](char byte) {
      if (byte == 'x') return RunHeldProgram(sh, {"/bin/sh", "-c", "exit 7"});
      if (byte == 'k') return RunHeldProgram(sh, {"/bin/sh", "-c", "kill -TERM $$"});
      return static_cast<int>(byte);
    });
    ASSERT_GT(child.pid, 0) << row.label;
    int error = 0;
    if (row.wake)
      EXPECT_TRUE(WakeStandbyChild(child, row.byte, error)) << row.label;
    else
      ::close(child.ask);
    const StandbyEnd end = WaitForStandbyChild(child);
    EXPECT_TRUE(end.reaped) << row.label;
    EXPECT_EQ(end.exitCode, row.exitCode) << row.label;
    EXPECT_EQ(end.signal, row.signal) << row.label;
    if (row.wake) ::close(child.ask);
    EXPECT_FALSE(WaitForStandbyChild(child).reaped) << row.label;
  }
  ::close(sh);
}

TEST(WatchedSocket, ListenersAndWaitingConnectionsAreToldAndCut) {
  const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(listener, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), size), 0);
  EXPECT_FALSE(SocketListens(listener));  // bound, not yet listening
  ASSERT_EQ(::listen(listener, 4), 0);
  ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size), 0);
  EXPECT_TRUE(SocketListens(listener));
  EXPECT_FALSE(ConnectionWaiting(listener));
  const int peer = ::socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_EQ(::connect(peer, reinterpret_cast<sockaddr*>(&address), size), 0);
  EXPECT_TRUE(ConnectionWaiting(listener));
  const int accepted = ::accept(listener, nullptr, nullptr);
  ASSERT_GE(accepted, 0);
  EXPECT_FALSE(ConnectionWaiting(listener));
  const struct {
    const char* label;
    int fd;
    bool listens;
  } rows[] = {{"a connection", accepted, false}, {"no socket", 0, false}, {"none", -1, false}};
  for (const auto& row : rows) EXPECT_EQ(SocketListens(row.fd), row.listens) << row.label;
  EXPECT_FALSE(ConnectionWaiting(-1));
  // Cut: the peer reads the end, and the number stays the socket's.
  ShutDownSocket(accepted);
  char byte;
  EXPECT_EQ(::read(peer, &byte, 1), 0);
  EXPECT_EQ(::read(accepted, &byte, 1), 0);
  EXPECT_NE(::fcntl(accepted, F_GETFD), -1);
  ::close(accepted);
  ::close(peer);
  ::close(listener);
}

// In a process of its own: the signals stay blocked there.
int TakeDaemonSignals() {
  HoldDaemonSignals();
  HoldWakeSignal();
  const struct {
    int sent;
    DaemonSignal taken;
  } rows[] = {{SIGTERM, DaemonSignal::kTerminate},
              {SIGINT, DaemonSignal::kInterrupt},
              {SIGHUP, DaemonSignal::kHangUp},
              {SIGUSR1, DaemonSignal::kWake}};
  int wrong = 0;
  for (const auto& row : rows) {
    ::kill(::getpid(), row.sent);
    if (WaitForDaemonSignal() != row.taken) ++wrong;
  }
  // A waiter on a thread of its own is woken.
  DaemonSignal woken = DaemonSignal::kTerminate;
  std::thread waiter([&woken] { woken = WaitForDaemonSignal(); });
  WakeSignalWaiter(waiter);
  waiter.join();
  if (woken != DaemonSignal::kWake) ++wrong;
  // A write to a pipe nobody reads fails rather than ending the process.
  int ends[2];
  if (::pipe(ends) != 0) return 100;
  ::close(ends[0]);
  if (::write(ends[1], "x", 1) != -1 || errno != EPIPE) ++wrong;
  return wrong;
}

TEST(DaemonSignals, AreTakenByTheThreadThatWaits) {
  const pid_t pid = ::fork();
  if (pid == 0) ::_exit(TakeDaemonSignals());
  ASSERT_GT(pid, 0);
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
  EXPECT_EQ(WEXITSTATUS(status), 0) << "signals taken for another";
}
#endif

}  // namespace
