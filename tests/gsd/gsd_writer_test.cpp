// The GSD writer: the worked example byte for byte, the optional lines, frame
// order, sizes, records whose header would not read back, failures that
// must leave nothing half-written, and the output-file rules: overwrites,
// planted links, FIFOs and files, ACLs and attributes, concurrent writers.
#include "gsd/gsd_writer.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <clocale>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "gsd/gsd_reader.h"
#include "gsd/gsd_stream.h"
#include "gsd/sanitize_token.h"
#include "model/study.h"
#include "output/output_file.h"
#include "platform/temp_file.h"
#include "tests/test_support.h"

namespace {

// What the writer takes and gives in these tests, shared by the fixture and
// the helpers that write in child processes: the study written (its frames
// as a test marks them, its record the one each write names), the options
// and the reason.
Study writtenStudy;
OutputOptions writerOptions;
std::string writerError;

int WriteGsd(const std::string& path, const TStudyRecord* record, bool baseToApex) {
  writtenStudy.record = *record;
  return WriteGsdFile(path.c_str(), writtenStudy, baseToApex, writerError, writerOptions);
}

class WriteGsdFileTest : public FreshStateTest {
 protected:
  void SetUp() override {
    std::fill(writtenStudy.frames.begin(), writtenStudy.frames.end(), std::int16_t{0});
    writerOptions = OutputOptions{};
    writerError.clear();
  }
};

TStudyRecord WorkedExample() {
  TStudyRecord r{};
  std::strcpy(r.patientId, "A 12");
  std::strcpy(r.patientName, "ANON^A");
  std::strcpy(r.studyDate, "2001.05.14");
  std::strcpy(r.studyTime, "10:20:30");
  std::strcpy(r.sex, "M");
  r.height = 170.0f;
  r.weight = 65.5f;
  std::strcpy(r.tracer, "Tl-201");
  r.pixelSize = 6.4;
  r.sliceThickness = 6.4;
  r.heartRate = 60;
  r.gateCount = 8;
  r.frameCount = 32;
  return r;
}

// Marks every frame slot with its gate and frame so that order is visible.
void MarkFrames() {
  for (int g = 0; g < kStoreGates; ++g)
    for (int f = 0; f < kStoreFramesPerGate; ++f)
      std::fill(writtenStudy.frames.Slot(g, f), writtenStudy.frames.Slot(g, f) + kFrameValues,
                static_cast<std::int16_t>(g * 100 + f));
}

const char kWorkedHeader[] =
    "tulvex\r\n"
    "id = A_12;\r\n"
    "name = ANON^A;\r\n"
    "date = 2001.05.14;\r\n"
    "time = 10:20:30;\r\n"
    "sex = M;\r\n"
    "height = 170.0000;\r\n"
    "weight =  65.5000;\r\n"
    "tracer = Tl-201;\r\n"
    "matrix = 64;\r\n"
    "pixel =     6.4000000000;\r\n"
    "thick =     6.4000000000;\r\n"
    "hr = 60;\r\n"
    "division = 8;\r\n"
    "frames = 32;\r\n"
    "order = little;\r\n"
    "\x0C\r\n";

TEST_F(WriteGsdFileTest, WorkedExampleByteForByte) {
  MarkFrames();
  TempDir dir;
  TStudyRecord record = WorkedExample();
  ASSERT_EQ(WriteGsd(dir.File("out.gsd").c_str(), &record, false), kGsdWritten);
  std::string bytes = ReadBytes(dir.File("out.gsd"));
  std::string header(kWorkedHeader);
  ASSERT_EQ(bytes.size(), header.size() + 2097152u);
  EXPECT_EQ(bytes.substr(0, header.size()), header);
  // Descending within each gate: gate 0 starts with frame 31.
  std::string frames = bytes.substr(header.size());
  for (int g = 0; g < 8; ++g)
    for (int i = 0; i < 32; ++i) {
      std::size_t at = (static_cast<std::size_t>(g) * 32 + i) * 8192;
      std::int16_t v = static_cast<std::int16_t>(static_cast<unsigned char>(frames[at]) |
                                                 static_cast<unsigned char>(frames[at + 1]) << 8);
      ASSERT_EQ(v, g * 100 + (31 - i)) << "gate " << g << " position " << i;
    }
}

// Makes a German locale (decimal comma) from the system's locale sources into
// a private folder, so that no installed locale is needed.
bool UseGermanLocale(const TempDir& dir) {
  if (std::system(
          ("localedef -i de_DE -f UTF-8 " + dir.File("de_DE.UTF-8") + " 2>/dev/null").c_str()) != 0)
    return false;
  ::setenv("LOCPATH", dir.path().c_str(), 1);
  if (std::setlocale(LC_ALL, "de_DE.UTF-8") == nullptr) return false;
  char probe[8];
  std::snprintf(probe, sizeof probe, "%.1f", 1.5);
  return std::string(probe) == "1,5";
}

TEST_F(WriteGsdFileTest, DecimalPointWhateverTheLocale) {
  TempDir dir;
  if (!UseGermanLocale(dir)) GTEST_SKIP() << "cannot build a de_DE locale (package locales)";
  std::string header = ComposeGsdHeader(WorkedExample());
  std::setlocale(LC_ALL, "C");
  ::unsetenv("LOCPATH");
  EXPECT_EQ(header, kWorkedHeader);
}

struct HeaderLineCase {
  const char* label;
  void (*change)(TStudyRecord&);
  const char* present;  // a line expected in the header ("" for none)
  const char* absent;   // a key that must not appear ("" for none)
};

const HeaderLineCase kHeaderLineCases[] = {
    {"height 30 and weight 3 are left out",
     [](TStudyRecord& r) {
       r.height = 30.0f;
       r.weight = 3.0f;
     },
     "", "height ="},
    {"weight 3 is left out", [](TStudyRecord& r) { r.weight = 3.0f; }, "", "weight ="},
    {"zeros are left out",
     [](TStudyRecord& r) {
       r.height = 0;
       r.weight = 0;
     },
     "", "height ="},
    {"NaN height is left out", [](TStudyRecord& r) { r.height = std::nanf(""); }, "", "height ="},
    {"height 30.5 is padded", [](TStudyRecord& r) { r.height = 30.5f; }, "height =  30.5000;\r\n",
     ""},
    {"empty tracer is left out", [](TStudyRecord& r) { r.tracer[0] = 0; }, "", "tracer ="},
    {"tracer of three spaces", [](TStudyRecord& r) { std::strcpy(r.tracer, "   "); },
     "tracer = ___;\r\n", ""},
    {"comment is written sanitised", [](TStudyRecord& r) { std::strcpy(r.comment, "rest\tstudy"); },
     "comment = rest_study;\r\n", ""},
    {"name with 0x80 and a control",
     [](TStudyRecord& r) { std::strcpy(r.patientName, "A\x80\x01Z"); }, "name = A__Z;\r\n", ""},
    {"date and time are sanitised like the other texts",
     [](TStudyRecord& r) { std::strcpy(r.studyDate, "2001 05 14"); }, "date = 2001_05_14;\r\n", ""},
    {"a line feed in a time", [](TStudyRecord& r) { std::strcpy(r.studyTime, "10:\n20"); },
     "time = 10:_20;\r\n", ":\n20"},
    {"a form feed line in the date cannot end the header early",
     [](TStudyRecord& r) { std::strcpy(r.studyDate, "1\n\x0C\n"); }, "date = 1___;\r\n", ""},
    {"a second hr line in the time", [](TStudyRecord& r) { std::strcpy(r.studyTime, "1\nhr = 9"); },
     "time = 1_hr_=_9;\r\n", ""},
    {"negative numbers",
     [](TStudyRecord& r) {
       r.heartRate = -1;
       r.pixelSize = -1.0;
     },
     "pixel =    -1.0000000000;\r\n", ""},
    {"hr -1", [](TStudyRecord& r) { r.heartRate = -1; }, "hr = -1;\r\n", ""},
    {"matrix is always 64", [](TStudyRecord& r) { r.matrixSize = 128; }, "matrix = 64;\r\n", ""},
};

TEST(ComposeGsdHeader, OptionalLinesAndFormats) {
  for (const HeaderLineCase& c : kHeaderLineCases) {
    TStudyRecord record = WorkedExample();
    c.change(record);
    std::string header = ComposeGsdHeader(record);
    if (*c.present) {
      EXPECT_NE(header.find(c.present), std::string::npos) << c.label << "\n" << header;
    }
    if (*c.absent) {
      EXPECT_EQ(header.find(c.absent), std::string::npos) << c.label;
    }
  }
}

TEST(SanitizeToken, KeepsExactlyTheVisibleAsciiBytes) {
  std::string all;
  for (int c = 1; c < 256; ++c) all += static_cast<char>(c);
  std::string out(all.size() + 1, '?');
  SanitizeToken(all.c_str(), out.data());
  ASSERT_EQ(out[all.size()], '\0');
  for (int c = 1; c < 256; ++c) {
    char want = (c >= 0x21 && c <= 0x7E) ? static_cast<char>(c) : '_';
    EXPECT_EQ(out[static_cast<std::size_t>(c - 1)], want) << c;
  }
}

struct SizeCase {
  std::int16_t gates;
  std::int32_t frames;
  bool baseToApex;
  std::size_t frameBytes;
};

TEST_F(WriteGsdFileTest, SizeAndFrameOrder) {
  MarkFrames();
  TempDir dir;
  const SizeCase cases[] = {{0, 4, true, 4 * 8192}, {1, 4, false, 4 * 8192},
                            {2, 4, true, 8 * 8192}, {2, 4, false, 8 * 8192},
                            {8, 0, true, 0},        {16, 64, true, 16u * 64 * 8192}};
  for (const SizeCase& c : cases) {
    TStudyRecord record = WorkedExample();
    record.gateCount = c.gates;
    record.frameCount = c.frames;
    ASSERT_EQ(WriteGsd(dir.File("o.gsd").c_str(), &record, c.baseToApex), kGsdWritten);
    GsdFile file;
    std::string error;
    ASSERT_TRUE(ReadGsdFile(dir.File("o.gsd").c_str(), file, error)) << error;
    EXPECT_EQ(file.values.size() * 2, c.frameBytes);
    for (int g = 0; g < file.Gates(); ++g)
      for (int i = 0; i < file.frames; ++i) {
        int f = c.baseToApex ? i : file.frames - 1 - i;
        ASSERT_EQ(file.Frame(g, i)[0], g * 100 + f);
      }
  }
}

// Records whose header the project's reader would reject, or read otherwise
// than written, are refused before the output is touched.
TEST_F(WriteGsdFileTest, RefusesARecordItsReaderWouldNotReadBack) {
  const struct {
    const char* label;
    void (*change)(TStudyRecord&);
    const char* reason;
  } cases[] = {
      {"17 gates", [](TStudyRecord& r) { r.gateCount = 17; }, "exceed the store"},
      {"65 frames", [](TStudyRecord& r) { r.frameCount = 65; }, "exceed the store"},
      {"negative gates", [](TStudyRecord& r) { r.gateCount = -3; }, "division -3 is negative"},
      {"negative frames", [](TStudyRecord& r) { r.frameCount = -5; }, "frames -5 is negative"},
  };
  TempDir dir;
  const std::string path = dir.File("o.gsd");
  for (const auto& c : cases) {
    WriteBytes(path, "old bytes");
    TStudyRecord record = WorkedExample();
    c.change(record);
    EXPECT_EQ(WriteGsd(path.c_str(), &record, true), kGsdNotWritten) << c.label;
    EXPECT_NE(writerError.find(c.reason), std::string::npos) << c.label << ": " << writerError;
    EXPECT_EQ(ReadBytes(path), "old bytes") << c.label;
    std::string error;
    EXPECT_FALSE(GsdHeaderReadsBack(record, error)) << c.label;
  }
  std::string error;
  EXPECT_TRUE(GsdHeaderReadsBack(WorkedExample(), error)) << error;
}

struct Outcome {
  int result;         // the writer's, or 100 + the signal that ended the child
  std::string error;  // writerError
};

// Runs write in a child process, which an alarm ends should it wait.
template <typename Write>
Outcome InChild(Write write) {
  int message[2];
  if (::pipe2(message, O_CLOEXEC) != 0) return {-1, "pipe2 failed"};
  pid_t child = ::fork();
  if (child == 0) {
    ::close(message[0]);
    ::alarm(30);
    int result = write();
    if (::write(message[1], writerError.data(), writerError.size()) < 0) ::_exit(99);
    ::_exit(result);
  }
  ::close(message[1]);
  Outcome outcome{-1, {}};
  char chunk[512];
  for (ssize_t n; (n = ::read(message[0], chunk, sizeof chunk)) > 0;)
    outcome.error.append(chunk, static_cast<std::size_t>(n));
  ::close(message[0]);
  int status = 0;
  ::waitpid(child, &status, 0);
  outcome.result = WIFEXITED(status) ? WEXITSTATUS(status) : 100 + WTERMSIG(status);
  return outcome;
}

// Writes in a child whose file-size limit stops the write midway.
int WriteWithSizeLimit(const std::string& path, rlim_t limit) {
  return InChild([&] {
           rlimit r{limit, limit};  // SIGXFSZ keeps its default action: the writer must hold it off
           ::setrlimit(RLIMIT_FSIZE, &r);
           TStudyRecord record = WorkedExample();
           return WriteGsd(path.c_str(), &record, true);
         })
      .result;
}

TEST_F(WriteGsdFileTest, FailuresLeaveTheOldFileAndNoTemporary) {
  TempDir dir;
  const std::string old = "the previous conversion";
  for (bool unnamed : {true, false}) {
    writerOptions.unnamedTempFiles = unnamed;
    for (rlim_t limit : {rlim_t{0}, rlim_t{10}, rlim_t{200}, rlim_t{5000}, rlim_t{1000000}}) {
      WriteBytes(dir.File("o.gsd"), old);
      EXPECT_EQ(WriteWithSizeLimit(dir.File("o.gsd"), limit), kGsdNotWritten) << limit;
      EXPECT_EQ(ReadBytes(dir.File("o.gsd")), old) << limit;
      EXPECT_EQ(dir.Entries().size(), 1u) << "temporary file left at limit " << limit;
    }
  }
  writerOptions.unnamedTempFiles = true;
  TStudyRecord record = WorkedExample();
  EXPECT_EQ(WriteGsd(dir.File("missing/o.gsd").c_str(), &record, true), kGsdNotWritten);
  EXPECT_NE(writerError.find("No such file"), std::string::npos) << writerError;
  for (const std::string& folder : {dir.path(), dir.path() + "/", dir.path() + "/."}) {
    EXPECT_EQ(WriteGsd(folder.c_str(), &record, true), kGsdNotWritten);
    EXPECT_NE(writerError.find("Is a directory"), std::string::npos) << writerError;
  }
}

// A stream over the writer's descriptor that accepts FailAfter bytes and
// then fails as a full disk would.
std::size_t FailAfter = 0;
int TerminateAtFailure = 0;  // a signal the process sends itself there instead

struct LimitedSink {
  int fd;
  std::size_t written;
};

std::FILE* OpenFailingStream(int fd) {
  cookie_io_functions_t io{};
  io.write = [](void* cookie, const char* data, std::size_t size) -> ssize_t {
    auto* sink = static_cast<LimitedSink*>(cookie);
    if (TerminateAtFailure != 0 && sink->written + size > FailAfter)
      ::kill(::getpid(), TerminateAtFailure);
    if (sink->written >= FailAfter) {
      errno = ENOSPC;
      return -1;
    }
    std::size_t n = std::min(size, FailAfter - sink->written);
    ssize_t done = ::write(sink->fd, data, n);
    if (done > 0) sink->written += static_cast<std::size_t>(done);
    return done;
  };
  io.close = [](void* cookie) -> int {
    auto* sink = static_cast<LimitedSink*>(cookie);
    int result = ::close(sink->fd);
    delete sink;
    return result;
  };
  return ::fopencookie(new LimitedSink{fd, 0}, "wb", io);
}

TEST_F(WriteGsdFileTest, AWriteFailingAtAnyByteLeavesTheOldFile) {
  TempDir dir;
  const std::string old = "the previous conversion";
  const std::string path = dir.File("o.gsd");
  WriteBytes(path, old);
  TStudyRecord record = WorkedExample();
  record.gateCount = 1;
  record.frameCount = 2;
  const std::size_t total = ComposeGsdHeader(record).size() + 2 * 8192;
  writerOptions.openStream = OpenFailingStream;
  if (FileExists("/dev/full")) {
    EXPECT_EQ(WriteGsd("/dev/full", &record, true), kGsdNotWritten);
    EXPECT_NE(writerError.find("No space"), std::string::npos) << writerError;
  }
  int failures = 0;
  for (FailAfter = 0; FailAfter < total - 8192 + 1; ++FailAfter) {
    failures += WriteGsd(path.c_str(), &record, true) == kGsdNotWritten;
    if (dir.Entries().size() != 1u || ReadBytes(path) != old) {
      ADD_FAILURE() << "damage after a failure at byte " << FailAfter;
      break;
    }
  }
  EXPECT_EQ(failures, static_cast<int>(total - 8192 + 1));
  FailAfter = total;
  EXPECT_EQ(WriteGsd(path.c_str(), &record, true), kGsdWritten);
  EXPECT_EQ(ReadBytes(path).size(), total);
}

// The syncs and the rename are steps of their own: each runs, in order, and
// a failing one fails the write and leaves the old file.
TEST_F(WriteGsdFileTest, SyncsAndRenameRunInOrderAndTheirFailuresCount) {
  TempDir dir;
  const std::string old = "the previous conversion";
  const std::string path = dir.File("o.gsd");
  TStudyRecord record = WorkedExample();
  const struct {
    const char* name;
    bool inPlace;  // an output that another link also names is written in place
    std::optional<OutputStep> failing;  // the step that fails with EIO, if any
    bool fails;                         // whether the write then fails
    const char* steps;                  // the steps that ran (F file sync, R rename, D folder sync)
  } cases[] = {
      {"replace", false, std::nullopt, false, "FRD"},
      {"file sync fails", false, OutputStep::kFileSync, true, "F"},
      {"rename fails", false, OutputStep::kRename, true, "FR"},
      // Some file systems cannot sync a folder: the rename stands.
      {"folder sync fails", false, OutputStep::kFolderSync, false, "FRD"},
      {"in place", true, std::nullopt, false, "F"},
      {"in place, sync fails", true, OutputStep::kFileSync, true, "F"},
  };
  for (const auto& c : cases) {
    ::unlink(dir.File("other link").c_str());
    WriteBytes(path, old);
    if (c.inPlace) {
      ASSERT_EQ(::link(path.c_str(), dir.File("other link").c_str()), 0);
    }
    std::string steps;
    writerOptions.runStep = [&](OutputStep step, const std::function<int()>& run) {
      steps += step == OutputStep::kFileSync ? 'F' : step == OutputStep::kRename ? 'R' : 'D';
      return step == c.failing ? EIO : run();
    };
    const int result = WriteGsd(path, &record, true);
    EXPECT_EQ(steps, c.steps) << c.name;
    EXPECT_EQ(result, c.fails ? kGsdNotWritten : kGsdWritten) << c.name;
    if (c.fails) {
      EXPECT_EQ(writerError, std::strerror(EIO)) << c.name;
      if (!c.inPlace) {
        EXPECT_EQ(ReadBytes(path), old) << c.name;
      }
    } else {
      EXPECT_EQ(ReadBytes(path).rfind(ComposeGsdHeader(record), 0), 0u) << c.name;
    }
    EXPECT_EQ(dir.Entries().size(), c.inPlace ? 2u : 1u) << c.name << ": a temporary was left";
  }
}

}  // namespace

namespace {

// The overwrite cases. The writer runs in a child, as the user (nobody when
// the test runs as root) or as root, in a shared folder with mode 1777 that
// root owns, as /tmp. Files planted by "another user" are made by a child
// that becomes the user. Run without root, the rows that need root or a
// second user are skipped.
enum Who { kUser, kRoot };

struct Scene {
  std::string dir;
  uid_t user;

  uid_t Uid(Who who) const { return who == kUser ? user : 0; }
  std::string Path(const std::string& name) const {
    return name[0] == '/' ? name : dir + "/" + name;
  }
  void File(const std::string& name, Who owner, mode_t mode) const {
    WriteBytes(Path(name), "old bytes");
    Own(name, owner);
    ::chmod(Path(name).c_str(), mode);
  }
  void Folder(const std::string& name, Who owner, mode_t mode) const {
    ::mkdir(Path(name).c_str(), 0755);
    Own(name, owner);
    ::chmod(Path(name).c_str(), mode);
  }
  void Fifo(const std::string& name, Who owner) const {
    ::mkfifo(Path(name).c_str(), 0600);
    Own(name, owner);
  }
  void Link(const std::string& target, const std::string& name) const {
    if (::symlink(target.c_str(), Path(name).c_str()) != 0) std::abort();
  }
  // o.gsd -> c1 -> ... -> made.gsd, links in all.
  void LinkChain(int links) const {
    for (int i = 0; i < links; ++i)
      Link(i + 1 == links ? "made.gsd" : "c" + std::to_string(i + 1),
           i == 0 ? "o.gsd" : "c" + std::to_string(i));
  }
  void Own(const std::string& name, Who owner) const {
    const uid_t uid = Uid(owner);
    if (::lchown(Path(name).c_str(), uid, uid) != 0 && uid != ::geteuid()) std::abort();
  }
  // Runs plant in a child that becomes the user: another local user
  // preparing the folder before the writer comes.
  void AsUser(void (*plant)(const Scene&)) const {
    pid_t child = ::fork();
    if (child == 0) {
      if (::geteuid() == 0 && (::setgid(user) != 0 || ::setuid(user) != 0)) ::_exit(3);
      plant(*this);
      ::_exit(0);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) std::abort();
  }
};

constexpr int kNoFifo = -1, kFifoReadsAll = 1 << 30;

struct OverwriteCase {
  const char* label;
  void (*setup)(const Scene&);
  const char* output;
  const char* input;  // the writer refuses an output that is this file
  Who writer;
  int fifoReads;  // bytes a reader of a FIFO output takes before closing
  int result;
  const char* reason;   // a part of the error text; "" for any
  const char* checked;  // whose bytes, owner, mode and links are checked; null for none
  bool newBytes;
  Who owner;
  mode_t mode;
  nlink_t links;
  const char* absent;  // a file that must not exist afterwards; null for none
  bool needsRoot;
};

// The test's reader end of a FIFO output, which a writer forked while it
// is open must not inherit: its copy would keep the FIFO read.
std::atomic<int> fifoReaderFd{-1};

Outcome WriteAs(const Scene& scene, const OverwriteCase& c, const TStudyRecord& record) {
  return InChild([&] {
    if (fifoReaderFd >= 0) ::close(fifoReaderFd);
    ::umask(022);
    if (c.writer == kUser && ::geteuid() == 0 &&
        (::setgid(scene.user) != 0 || ::setuid(scene.user) != 0))
      return 3;
    std::string output = scene.Path(c.output);
    // The writer's own check on the file it opens, with no look before.
    writtenStudy.source.reset();
    if (c.input) {
      writtenStudy.source = IdentityOfPath(scene.Path(c.input));
      writtenStudy.sourceName = scene.Path(c.input);
    }
    return WriteGsd(output.c_str(), &record, true);
  });
}

// Takes up to limit bytes from a FIFO, then closes it.
std::string ReadFifo(const std::string& path, int limit) {
  int fd = ::open(path.c_str(), O_RDONLY);
  fifoReaderFd = fd;
  std::string bytes;
  char chunk[4096];
  for (ssize_t n;
       static_cast<int>(bytes.size()) < limit &&
       (n = ::read(fd, chunk, std::min<std::size_t>(sizeof chunk, limit - bytes.size()))) > 0;)
    bytes.append(chunk, static_cast<std::size_t>(n));
  fifoReaderFd = -1;
  ::close(fd);
  return bytes;
}

const OverwriteCase kOverwriteCases[] = {
    // label, setup, output, input, writer, fifoReads, result, reason, checked, newBytes,
    // owner, mode, links, absent, needsRoot
    {"absent", [](const Scene&) {}, "o.gsd", nullptr, kUser, kNoFifo, 0, "", "o.gsd", true,
     kUser, 0644, 1, nullptr, false},
    {"own file", [](const Scene& s) { s.File("o.gsd", kUser, 0640); }, "o.gsd", nullptr, kUser,
     kNoFifo, 0, "", "o.gsd", true, kUser, 0640, 1, nullptr, false},
    {"own setuid file", [](const Scene& s) { s.File("o.gsd", kUser, 06750); }, "o.gsd", nullptr,
     kUser, kNoFifo, 0, "", "o.gsd", true, kUser, 0750, 1, nullptr, false},
    {"own read-only file", [](const Scene& s) { s.File("o.gsd", kUser, 0444); }, "o.gsd",
     nullptr, kUser, kNoFifo, 1, "no write permission", "o.gsd", false, kUser, 0444, 1, nullptr,
     false},
    {"the folder owner's writable file", [](const Scene& s) { s.File("o.gsd", kRoot, 0666); },
     "o.gsd", nullptr, kUser, kNoFifo, 0, "", "o.gsd", true, kRoot, 0666, 1, nullptr, true},
    {"the folder owner's read-only file", [](const Scene& s) { s.File("o.gsd", kRoot, 0644); },
     "o.gsd", nullptr, kUser, kNoFifo, 1, "Permission denied", "o.gsd", false, kRoot, 0644, 1,
     nullptr, true},
    {"root onto a user's file in the user's folder",
     [](const Scene& s) {
       s.Folder("home", kUser, 0755);
       s.File("home/o.gsd", kUser, 0640);
     },
     "home/o.gsd", nullptr, kRoot, kNoFifo, 0, "", "home/o.gsd", true, kUser, 0640, 1, nullptr,
     true},
    {"a file in a read-only folder",
     [](const Scene& s) {
       s.Folder("ro", kUser, 0755);
       s.File("ro/o.gsd", kUser, 0644);
       ::chmod(s.Path("ro").c_str(), 0555);
     },
     "ro/o.gsd", nullptr, kUser, kNoFifo, 0, "", "ro/o.gsd", true, kUser, 0644, 1, nullptr,
     true},
    {"hard-linked file in the user's folder",
     [](const Scene& s) {
       s.Folder("home", kUser, 0755);
       s.File("home/o.gsd", kUser, 0644);
       ::link(s.Path("home/o.gsd").c_str(), s.Path("home/twin").c_str());
     },
     "home/o.gsd", nullptr, kUser, kNoFifo, 0, "", "home/twin", true, kUser, 0644, 2, nullptr,
     false},
    {"hard-linked file in the shared folder",
     [](const Scene& s) {
       s.File("o.gsd", kUser, 0644);
       ::link(s.Path("o.gsd").c_str(), s.Path("twin").c_str());
     },
     "o.gsd", nullptr, kUser, kNoFifo, 1, "has 2 links", "twin", false, kUser, 0644, 2, nullptr,
     false},
    {"symlink into another user's folder",
     [](const Scene& s) {
       s.Folder("theirs", kRoot, 0755);
       s.File("theirs/notes.txt", kRoot, 0644);
       s.Link(s.Path("theirs/notes.txt"), "o.gsd");
     },
     "o.gsd", nullptr, kUser, kNoFifo, 1, "Permission denied", "theirs/notes.txt", false, kRoot,
     0644, 1, nullptr, true},
    {"dangling symlink of the folder's owner", [](const Scene& s) { s.Link("made.gsd", "o.gsd"); },
     "o.gsd", nullptr, kUser, kNoFifo, 0, "", "made.gsd", true, kUser, 0644, 1, nullptr, false},
    // As many links as the kernel follows in one path, and one more.
    {"a chain of 40 links", [](const Scene& s) { s.LinkChain(40); }, "o.gsd", nullptr, kUser,
     kNoFifo, 0, "", "made.gsd", true, kUser, 0644, 1, nullptr, false},
    {"a chain of 41 links", [](const Scene& s) { s.LinkChain(41); }, "o.gsd", nullptr, kUser,
     kNoFifo, 1, "Too many levels of symbolic links", nullptr, false, kUser, 0, 0, "made.gsd",
     false},
    {"/dev/null", [](const Scene&) {}, "/dev/null", nullptr, kUser, kNoFifo, 0, "", nullptr,
     false, kUser, 0, 0, nullptr, false},
    {"FIFO with a reader", [](const Scene& s) { s.Fifo("o.gsd", kUser); }, "o.gsd", nullptr,
     kUser, kFifoReadsAll, 0, "", nullptr, true, kUser, 0, 0, nullptr, false},
    {"FIFO whose reader leaves early (SIGPIPE)", [](const Scene& s) { s.Fifo("o.gsd", kUser); },
     "o.gsd", nullptr, kUser, 10, 1, "Broken pipe", nullptr, false, kUser, 0, 0, nullptr, false},
    {"FIFO without a reader", [](const Scene& s) { s.Fifo("o.gsd", kUser); }, "o.gsd", nullptr,
     kUser, kNoFifo, 1, "no process reads the FIFO", nullptr, false, kUser, 0, 0, nullptr, false},
    {"same as input by path", [](const Scene& s) { s.File("in.dcm", kUser, 0644); }, "in.dcm",
     "in.dcm", kUser, kNoFifo, 1, "input file", "in.dcm", false, kUser, 0644, 1, nullptr, false},
    {"same as input by link",
     [](const Scene& s) {
       s.File("in.dcm", kUser, 0644);
       s.Link("in.dcm", "o.gsd");
     },
     "o.gsd", "in.dcm", kUser, kNoFifo, 1, "input file", "in.dcm", false, kUser, 0644, 1,
     nullptr, false},
    {"same as input by hard link",
     [](const Scene& s) {
       s.Folder("home", kUser, 0755);
       s.File("home/in.dcm", kUser, 0644);
       ::link(s.Path("home/in.dcm").c_str(), s.Path("home/o.gsd").c_str());
     },
     "home/o.gsd", "home/in.dcm", kUser, kNoFifo, 1, "input file", "home/in.dcm", false, kUser,
     0644, 2, nullptr, false},
    // Root writing where another user has planted something first.
    {"root's own file in the shared folder", [](const Scene& s) { s.File("o.gsd", kRoot, 0600); },
     "o.gsd", nullptr, kRoot, kNoFifo, 0, "", "o.gsd", true, kRoot, 0600, 1, nullptr, true},
    {"a 0666 file planted by another user",
     [](const Scene& s) { s.AsUser([](const Scene& u) { u.File("o.gsd", kUser, 0666); }); },
     "o.gsd", nullptr, kRoot, kNoFifo, 1, "(sticky); not written", "o.gsd", false, kUser, 0666,
     1, nullptr, true},
    {"a symlink planted by another user to root's file",
     [](const Scene& s) {
       s.File("secret", kRoot, 0600);
       s.AsUser([](const Scene& u) { u.Link(u.Path("secret"), "o.gsd"); });
     },
     "o.gsd", nullptr, kRoot, kNoFifo, 1, "symbolic link of user", "secret", false, kRoot, 0600,
     1, nullptr, true},
    {"a symlink planted by another user to a new file",
     [](const Scene& s) {
       s.Folder("private", kRoot, 0700);
       s.AsUser([](const Scene& u) { u.Link(u.Path("private/new.gsd"), "o.gsd"); });
     },
     "o.gsd", nullptr, kRoot, kNoFifo, 1, "not followed", nullptr, false, kRoot, 0, 0,
     "private/new.gsd", true},
    {"a symlink planted in a folder all may write, without the sticky bit",
     [](const Scene& s) {
       s.Folder("open", kRoot, 0777);
       s.File("secret", kRoot, 0600);
       s.AsUser([](const Scene& u) { u.Link("../secret", "open/o.gsd"); });
     },
     "open/o.gsd", nullptr, kRoot, kNoFifo, 1, "not followed", "secret", false, kRoot, 0600, 1,
     nullptr, true},
    {"a folder symlink planted by another user",
     [](const Scene& s) {
       s.Folder("private", kRoot, 0700);
       s.AsUser([](const Scene& u) { u.Link(u.Path("private"), "work"); });
     },
     "work/o.gsd", nullptr, kRoot, kNoFifo, 1, "\"work\" is a symbolic link", nullptr, false,
     kRoot, 0, 0, "private/o.gsd", true},
    {"a FIFO planted by another user, with a reader",
     [](const Scene& s) { s.AsUser([](const Scene& u) { u.Fifo("o.gsd", kUser); }); }, "o.gsd",
     nullptr, kRoot, kFifoReadsAll, 1, "FIFO of user", nullptr, false, kUser, 0, 0, nullptr,
     true},
    {"root and its own file that only its group may write",
     [](const Scene& s) { s.File("o.gsd", kRoot, 0464); }, "o.gsd", nullptr, kRoot, kNoFifo, 0, "",
     "o.gsd", true, kRoot, 0464, 1, nullptr, true},
    {"root and its own read-only file", [](const Scene& s) { s.File("o.gsd", kRoot, 0444); },
     "o.gsd", nullptr, kRoot, kNoFifo, 1, "no write permission", "o.gsd", false, kRoot, 0444, 1,
     nullptr, true},
    {"root and a user's read-only file in the user's folder",
     [](const Scene& s) {
       s.Folder("home", kUser, 0755);
       s.File("home/o.gsd", kUser, 0444);
     },
     "home/o.gsd", nullptr, kRoot, kNoFifo, 1, "no write permission", "home/o.gsd", false, kUser,
     0444, 1, nullptr, true},
};

bool NeedsRoot(const OverwriteCase& c) {
  return c.needsRoot || c.writer == kRoot;
}

// What the writer writes for record: 2 MiB, more than a pipe holds, so that
// a reader that leaves early is noticed.
std::string NewBytes(const TStudyRecord& record) {
  TempDir reference;
  EXPECT_EQ(WriteGsd(reference.File("o.gsd").c_str(), &record, true), kGsdWritten);
  return ReadBytes(reference.File("o.gsd"));
}

void CheckOverwrite(const OverwriteCase& c, const TStudyRecord& record,
                    const std::string& newBytes) {
  SCOPED_TRACE(c.label);
  const bool root = ::geteuid() == 0;
  TempDir dir;
  ::chmod(dir.path().c_str(), 01777);  // a shared folder, as /tmp is
  Scene scene{dir.path(), root ? 65534u : ::geteuid()};
  c.setup(scene);
  const std::string output = scene.Path(c.output);
  struct stat before {};
  bool existed = ::lstat(output.c_str(), &before) == 0;

  std::string fromFifo;
  std::thread reader;
  int held = -1;  // a writer end that keeps the reader from an early end of file
  if (c.fifoReads != kNoFifo) {
    reader = std::thread([&] { fromFifo = ReadFifo(output, c.fifoReads); });
    // The writer opens a FIFO without waiting: it must find the reader there.
    for (int tries = 0; held < 0 && tries < 10000; ++tries) {
      held = ::open(output.c_str(), O_WRONLY | O_NONBLOCK);
      if (held < 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_GE(held, 0) << "the test's reader never opened the FIFO";
    while (fifoReaderFd < 0) std::this_thread::yield();
  }
  const Outcome outcome = WriteAs(scene, c, record);
  EXPECT_EQ(outcome.result, c.result) << outcome.error;
  EXPECT_NE(outcome.error.find(c.reason), std::string::npos) << outcome.error;
  if (reader.joinable()) {
    ::close(held);  // the reader now sees the end of the file
    reader.join();
  }
  if (c.fifoReads == kFifoReadsAll) {
    EXPECT_EQ(fromFifo, c.result == 0 ? newBytes : "");
  }

  struct stat after {};
  if (existed) {
    ASSERT_EQ(::lstat(output.c_str(), &after), 0);
    EXPECT_EQ(after.st_mode & S_IFMT, before.st_mode & S_IFMT) << "the output changed its kind";
  }
  if (c.checked != nullptr) {
    const std::string checked = scene.Path(c.checked);
    EXPECT_EQ(ReadBytes(checked), c.newBytes ? newBytes : "old bytes");
    ASSERT_EQ(::stat(checked.c_str(), &after), 0);
    EXPECT_EQ(after.st_uid, scene.Uid(c.owner));
    EXPECT_EQ(after.st_mode & 07777, c.mode);
    EXPECT_EQ(after.st_nlink, c.links);
  }
  if (c.absent != nullptr) {
    EXPECT_FALSE(FileExists(scene.Path(c.absent))) << c.absent;
  }
  for (const std::string& name : dir.Entries())
    EXPECT_NE(name[0], '.') << "temporary file left: " << name;
  ::chmod(scene.Path("ro").c_str(), 0755);
}

}  // namespace

TEST_F(WriteGsdFileTest, OverwriteRules) {
  const TStudyRecord record = WorkedExample();
  const std::string newBytes = NewBytes(record);
  for (const OverwriteCase& c : kOverwriteCases)
    if (!NeedsRoot(c)) CheckOverwrite(c, record, newBytes);
}

TEST_F(WriteGsdFileTest, OverwriteRulesForRootAndAnotherUser) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to write as root and to play another user";
  const TStudyRecord record = WorkedExample();
  const std::string newBytes = NewBytes(record);
  for (const OverwriteCase& c : kOverwriteCases)
    if (NeedsRoot(c)) CheckOverwrite(c, record, newBytes);
}

// /dev/stdout leads through /proc to whatever the process's standard output
// is: the kernel follows that link.
TEST_F(WriteGsdFileTest, ThroughDevStdout) {
  TempDir dir;
  const TStudyRecord record = WorkedExample();
  ASSERT_EQ(WriteGsd(dir.File("reference.gsd").c_str(), &record, true), kGsdWritten);
  const std::string expected = ReadBytes(dir.File("reference.gsd"));
  for (bool pipe : {false, true}) {
    SCOPED_TRACE(pipe ? "a pipe" : "a regular file");
    int ends[2] = {-1, -1};
    if (pipe) {
      ASSERT_EQ(::pipe(ends), 0);
    }
    std::string piped;
    std::thread reader;
    if (pipe)
      reader = std::thread([&] {
        char chunk[4096];
        for (ssize_t n; (n = ::read(ends[0], chunk, sizeof chunk)) > 0;)
          piped.append(chunk, static_cast<std::size_t>(n));
      });
    WriteBytes(dir.File("stdout.gsd"), "old bytes, longer than nothing");
    const std::string target = dir.File("stdout.gsd");
    Outcome outcome = InChild([&] {
      int fd = pipe ? ends[1] : ::open(target.c_str(), O_WRONLY);
      if (fd < 0 || ::dup2(fd, STDOUT_FILENO) < 0) return 3;
      return WriteGsd("/dev/stdout", &record, true);
    });
    EXPECT_EQ(outcome.result, kGsdWritten) << outcome.error;
    if (pipe) {
      ::close(ends[1]);
      reader.join();
      ::close(ends[0]);
      EXPECT_EQ(piped, expected);
    } else {
      EXPECT_EQ(ReadBytes(target), expected);
    }
  }
}

namespace {

// Whether ACLs can be set on files in folder (setfacl installed, the file
// system willing).
bool AclsWork(const std::string& folder) {
  const std::string probe = folder + "/acl-probe";
  WriteBytes(probe, "");
  bool works = RunCommand("setfacl -m u:65534:r " + ShellQuote(probe)).exitCode == 0;
  ::unlink(probe.c_str());
  return works;
}

std::string Acl(const std::string& path) {
  return RunCommand("getfacl -c " + ShellQuote(path)).output;
}

std::string Attribute(const std::string& path, const char* name) {
  char value[256];
  ssize_t n = ::getxattr(path.c_str(), name, value, sizeof value);
  return n < 0 ? "(none)" : std::string(value, static_cast<std::size_t>(n));
}

// Takes /proc away from this process (a mount namespace of its own), as in
// a container or chroot without it. False where that is not allowed.
bool LoseProc() {
  return ::unshare(CLONE_NEWNS) == 0 &&
         ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
         ::umount2("/proc", MNT_DETACH) == 0 && !FileExists("/proc/self/fd");
}

enum TempKind { kUnnamed, kNamed, kNoProc };
const char* const kTempKindNames[] = {"unnamed", "named", "without /proc"};

struct AttributeCase {
  const char* label;
  const char* fileAcl;    // setfacl -m on an existing output of root's; null: a new output
  const char* folderAcl;  // setfacl -d -m on the folder; null for none
  mode_t umask;
};

}  // namespace

namespace {

const AttributeCase kAttributeCases[] = {
    {"a replaced file keeps its ACL and user attribute", "u:65534:rw,g::r,o::-", nullptr, 022},
    {"a new file under a default ACL", nullptr, "u::rw,u:65534:rw,g::r,m::rw,o::-", 022},
    {"a new file under a default ACL that keeps others out", nullptr, "u::rw,g::r,o::-", 0},
    {"a new file under umask 077", nullptr, nullptr, 077},
};

// Writes record over or beside the case's file, the temporary made as kind
// says. False when /proc cannot be unmounted here (kNoProc only).
bool CheckAccessKept(const AttributeCase& c, TempKind kind, const TStudyRecord& record) {
  SCOPED_TRACE(std::string(c.label) + ", " + kTempKindNames[kind]);
  TempDir dir;
  const std::string folder = dir.File("f");
  ::mkdir(folder.c_str(), 0755);
  if (c.folderAcl) {
    EXPECT_EQ(RunCommand("setfacl -d -m " + std::string(c.folderAcl) + " " + folder).exitCode, 0);
  }
  const std::string output = folder + "/o.gsd", reference = folder + "/reference";
  struct stat before {};
  if (c.fileAcl) {
    WriteBytes(output, "old bytes");
    ::chmod(output.c_str(), 0640);
    EXPECT_EQ(RunCommand("setfacl -m " + std::string(c.fileAcl) + " " + output).exitCode, 0);
    EXPECT_EQ(::setxattr(output.c_str(), "user.origin", "pacs", 4, 0), 0);
    ::stat(output.c_str(), &before);
  }
  const std::string acl = Acl(output);
  const Outcome outcome = InChild([&] {
    if (kind == kNoProc && !LoseProc()) return 77;
    writerOptions.unnamedTempFiles = kind == kUnnamed;
    ::umask(c.umask);
    ::close(::open(reference.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0666));
    return WriteGsd(output.c_str(), &record, true);
  });
  if (outcome.result == 77) return false;
  EXPECT_EQ(outcome.result, kGsdWritten) << outcome.error;
  struct stat after {
  }, expected{};
  EXPECT_EQ(::stat(output.c_str(), &after), 0);
  EXPECT_GT(ReadBytes(output).size(), 2000000u);
  if (c.fileAcl) {
    EXPECT_NE(after.st_ino, before.st_ino) << "not replaced";
    EXPECT_EQ(after.st_mode, before.st_mode);
    EXPECT_EQ(Acl(output), acl);
    EXPECT_EQ(Attribute(output, "user.origin"), "pacs");
  } else {
    EXPECT_EQ(::stat(reference.c_str(), &expected), 0);
    EXPECT_EQ(after.st_mode, expected.st_mode);
    EXPECT_EQ(Acl(output), Acl(reference));
  }
  EXPECT_EQ(dir.Entries().size(), 1u);
  for (const std::string& name : {std::string("o.gsd"), std::string("reference")})
    EXPECT_TRUE(FileExists(folder + "/" + name)) << name;
  return true;
}

// Whether ACLs work here; the ACL rows are left out where they do not.
bool AclsWorkHere() {
  TempDir probe;
  const bool acls = AclsWork(probe.path());
  if (!acls) std::printf("setfacl missing or ACLs refused here: the ACL rows are skipped\n");
  return acls;
}

}  // namespace

// A replaced file keeps its ACL and extended attributes; a new file gets
// exactly what open(..., 0666) gives in its folder: the umask, or the
// folder's default ACL. Each way the new file can start.
TEST_F(WriteGsdFileTest, ReplacedAndNewFilesKeepTheirAccess) {
  const bool acls = AclsWorkHere();
  const TStudyRecord record = WorkedExample();
  for (const AttributeCase& c : kAttributeCases) {
    if ((c.fileAcl || c.folderAcl) && !acls) continue;
    for (TempKind kind : {kUnnamed, kNamed}) CheckAccessKept(c, kind, record);
  }
}

// The same with the named temporary made without /proc, as in a container or
// chroot without it.
TEST_F(WriteGsdFileTest, ReplacedAndNewFilesKeepTheirAccessWithoutProc) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to unmount /proc in a namespace of its own";
  const bool acls = AclsWorkHere();
  const TStudyRecord record = WorkedExample();
  for (const AttributeCase& c : kAttributeCases) {
    if ((c.fileAcl || c.folderAcl) && !acls) continue;
    if (!CheckAccessKept(c, kNoProc, record)) GTEST_SKIP() << "cannot unmount /proc here";
  }
}

// An attribute the writer may not give the new file (a security.* one that
// only an administrator may set): the file is written in place and keeps it.
TEST_F(WriteGsdFileTest, AnAttributeThatCannotBeCopiedKeepsTheFileInPlace) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to set a security attribute";
  TempDir dir;
  const std::string output = dir.File("o.gsd");
  WriteBytes(output, "old bytes");
  if (::setxattr(output.c_str(), "security.dgc_test", "x", 1, 0) != 0)
    GTEST_SKIP() << "cannot set security.dgc_test here: " << std::strerror(errno);
  ::chown(output.c_str(), 65534, 65534);
  ::chmod(dir.path().c_str(), 0777);
  struct stat before {
  }, after{};
  ::stat(output.c_str(), &before);
  const TStudyRecord record = WorkedExample();
  const Outcome outcome = InChild([&] {
    if (::setgid(65534) != 0 || ::setuid(65534) != 0) return 3;
    return WriteGsd(output.c_str(), &record, true);
  });
  EXPECT_EQ(outcome.result, kGsdWritten) << outcome.error;
  ::stat(output.c_str(), &after);
  EXPECT_EQ(after.st_ino, before.st_ino) << "replaced, losing the attribute";
  EXPECT_EQ(Attribute(output, "security.dgc_test"), "x");
  EXPECT_GT(after.st_size, 2000000);
  EXPECT_EQ(dir.Entries().size(), 1u);
}

TEST_F(WriteGsdFileTest, TerminationDuringTheWriteLeavesNoTemporary) {
  TempDir dir;
  const std::string path = dir.File("o.gsd");
  TStudyRecord record = WorkedExample();
  for (int signal : {SIGTERM, SIGINT, SIGHUP, SIGKILL}) {
    for (bool unnamed : {true, false}) {
      WriteBytes(path, "old bytes");
      pid_t child = ::fork();
      if (child == 0) {
        writerOptions.unnamedTempFiles = unnamed;
        writerOptions.openStream = OpenFailingStream;
        FailAfter = 20000;  // the stream ends the process there instead of failing
        TerminateAtFailure = signal;
        ::_exit(WriteGsd(path.c_str(), &record, true));
      }
      int status = 0;
      ::waitpid(child, &status, 0);
      EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal) << signal << unnamed;
      EXPECT_EQ(ReadBytes(path), "old bytes");
      // Nothing catches SIGKILL: a named temporary stays, but only its owner may read it.
      for (const std::string& name : dir.Entries()) {
        if (name == "o.gsd") continue;
        struct stat left {};
        ::stat(dir.File(name).c_str(), &left);
        EXPECT_TRUE(signal == SIGKILL && !unnamed) << "temporary file left after signal " << signal;
        EXPECT_EQ(left.st_mode & 07777, 0600u) << name;
        ::unlink(dir.File(name).c_str());
      }
    }
  }
}

// Writers that all write one hard-linked output in place: the lock keeps
// one writer's truncation out of another's bytes, so every round leaves one
// complete file of one writer.
TEST_F(WriteGsdFileTest, ConcurrentInPlaceWritersLeaveOneCompleteFile) {
  constexpr int kWriters = 6, kRounds = 20, kWritesEach = 2;
  TempDir dir;
  const std::string output = dir.File("o.gsd");
  WriteBytes(output, "old bytes");
  ASSERT_EQ(::link(output.c_str(), dir.File("twin").c_str()), 0);
  for (int round = 0; round < kRounds; ++round) {
    std::vector<pid_t> children;
    for (int w = 0; w < kWriters; ++w) {
      pid_t child = ::fork();
      if (child == 0) {
        // Each writer its own length and values: a mixture cannot pass.
        TStudyRecord record = WorkedExample();
        record.gateCount = 8;  // 0.5 to 3 MiB: several writes each
        record.frameCount = 8 + 8 * w;
        record.heartRate = static_cast<std::int16_t>(w);
        std::fill(writtenStudy.frames.begin(), writtenStudy.frames.end(),
                  static_cast<std::int16_t>(w + 1));
        int failures = 0;
        for (int i = 0; i < kWritesEach; ++i)
          failures += WriteGsd(output.c_str(), &record, true) != kGsdWritten;
        ::_exit(failures);
      }
      children.push_back(child);
    }
    for (pid_t child : children) {
      int status = 0;
      ::waitpid(child, &status, 0);
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "round " << round;
    }
    GsdFile file;
    std::string error;
    ASSERT_TRUE(ReadGsdFile(output.c_str(), file, error)) << "round " << round << ": " << error;
    const int writer = std::atoi(file.Field("hr")->c_str());
    EXPECT_EQ(file.frames, 8 + 8 * writer);
    EXPECT_TRUE(std::all_of(file.values.begin(), file.values.end(),
                            [writer](std::int16_t v) { return v == writer + 1; }))
        << "round " << round;
  }
  struct stat info {};
  ::stat(output.c_str(), &info);
  EXPECT_EQ(info.st_nlink, 2u);
}
