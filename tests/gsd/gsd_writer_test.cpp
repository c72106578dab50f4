// The GSD writer: the worked example byte for byte, the optional lines, frame
// order, sizes, and failures that must leave nothing half-written.
#include "gsd_writer.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <clocale>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "gsd_reader.h"
#include "gsd_stream.h"
#include "sanitize_token.h"
#include "study_state.h"
#include "test_support.h"

namespace {

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
      std::fill(ImageStore + FrameSlotIndex(g, f), ImageStore + FrameSlotIndex(g, f) + kFrameValues,
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

TEST(WriteGsdFile, WorkedExampleByteForByte) {
  MarkFrames();
  TempDir dir;
  TStudyRecord record = WorkedExample();
  ASSERT_EQ(WriteGsdFile(dir.File("out.gsd").c_str(), &record, false), kGsdWritten);
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

TEST(WriteGsdFile, DecimalPointWhateverTheLocale) {
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
    {"date and time keep their spaces",
     [](TStudyRecord& r) { std::strcpy(r.studyDate, "2001 05 14"); }, "date = 2001 05 14;\r\n", ""},
    {"a line feed in a time is CR LF too",
     [](TStudyRecord& r) { std::strcpy(r.studyTime, "10:\n20"); }, "time = 10:\r\n20;\r\n",
     ":\n20"},
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

TEST(WriteGsdFile, SizeAndFrameOrder) {
  MarkFrames();
  TempDir dir;
  const SizeCase cases[] = {{0, 4, true, 4 * 8192}, {1, 4, false, 4 * 8192},
                            {2, 4, true, 8 * 8192}, {2, 4, false, 8 * 8192},
                            {8, 0, true, 0},        {-3, 2, true, 2 * 8192},
                            {3, -5, true, 0},       {16, 64, true, 16u * 64 * 8192}};
  for (const SizeCase& c : cases) {
    TStudyRecord record = WorkedExample();
    record.gateCount = c.gates;
    record.frameCount = c.frames;
    ASSERT_EQ(WriteGsdFile(dir.File("o.gsd").c_str(), &record, c.baseToApex), kGsdWritten);
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

TEST(WriteGsdFile, RefusesCountsBeyondTheStore) {
  TempDir dir;
  for (auto [gates, frames] : {std::pair<int, int>{17, 4}, {4, 65}}) {
    TStudyRecord record = WorkedExample();
    record.gateCount = static_cast<std::int16_t>(gates);
    record.frameCount = frames;
    EXPECT_EQ(WriteGsdFile(dir.File("o.gsd").c_str(), &record, true), kGsdNotWritten);
    EXPECT_FALSE(FileExists(dir.File("o.gsd")));
  }
}

// Writes in a child whose file-size limit stops the write midway.
int WriteWithSizeLimit(const std::string& path, rlim_t limit) {
  pid_t child = ::fork();
  if (child == 0) {
    rlimit r{limit, limit};  // SIGXFSZ keeps its default action: the writer must hold it off
    ::setrlimit(RLIMIT_FSIZE, &r);
    TStudyRecord record = WorkedExample();
    ::_exit(WriteGsdFile(path.c_str(), &record, true));
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(WriteGsdFile, FailuresLeaveTheOldFileAndNoTemporary) {
  TempDir dir;
  const std::string old = "the previous conversion";
  for (bool unnamed : {true, false}) {
    GsdUnnamedTempFiles = unnamed;
    for (rlim_t limit : {rlim_t{0}, rlim_t{10}, rlim_t{200}, rlim_t{5000}, rlim_t{1000000}}) {
      WriteBytes(dir.File("o.gsd"), old);
      EXPECT_EQ(WriteWithSizeLimit(dir.File("o.gsd"), limit), kGsdNotWritten) << limit;
      EXPECT_EQ(ReadBytes(dir.File("o.gsd")), old) << limit;
      EXPECT_EQ(dir.Entries().size(), 1u) << "temporary file left at limit " << limit;
    }
  }
  GsdUnnamedTempFiles = true;
  TStudyRecord record = WorkedExample();
  EXPECT_EQ(WriteGsdFile(dir.File("missing/o.gsd").c_str(), &record, true), kGsdNotWritten);
  EXPECT_NE(LastGsdWriteError.find("No such file"), std::string::npos) << LastGsdWriteError;
  EXPECT_EQ(WriteGsdFile(dir.path().c_str(), &record, true), kGsdNotWritten);
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

TEST(WriteGsdFile, AWriteFailingAtAnyByteLeavesTheOldFile) {
  TempDir dir;
  const std::string old = "the previous conversion";
  const std::string path = dir.File("o.gsd");
  WriteBytes(path, old);
  TStudyRecord record = WorkedExample();
  record.gateCount = 1;
  record.frameCount = 2;
  const std::size_t total = ComposeGsdHeader(record).size() + 2 * 8192;
  const GsdStreamOpener realOpener = OpenGsdStream;
  OpenGsdStream = OpenFailingStream;
  if (FileExists("/dev/full")) {
    EXPECT_EQ(WriteGsdFile("/dev/full", &record, true), kGsdNotWritten);
    EXPECT_NE(LastGsdWriteError.find("No space"), std::string::npos) << LastGsdWriteError;
  }
  int failures = 0;
  for (FailAfter = 0; FailAfter < total - 8192 + 1; ++FailAfter) {
    failures += WriteGsdFile(path.c_str(), &record, true) == kGsdNotWritten;
    if (dir.Entries().size() != 1u || ReadBytes(path) != old) {
      ADD_FAILURE() << "damage after a failure at byte " << FailAfter;
      break;
    }
  }
  EXPECT_EQ(failures, static_cast<int>(total - 8192 + 1));
  FailAfter = total;
  EXPECT_EQ(WriteGsdFile(path.c_str(), &record, true), kGsdWritten);
  OpenGsdStream = realOpener;
  EXPECT_EQ(ReadBytes(path).size(), total);
}

}  // namespace

namespace {

// The overwrite cases. The writer runs in a child as the caller; the files
// belong to the caller or to another user. Run as root, the test gives the
// two their own uids (the caller is nobody, the other user root); otherwise
// the rows that need another user are skipped.
struct Scene {
  std::string dir;
  uid_t caller, other;

  std::string Path(const std::string& name) const {
    return name[0] == '/' ? name : dir + "/" + name;
  }
  void File(const std::string& name, uid_t owner, mode_t mode) const {
    WriteBytes(Path(name), "old bytes");
    if (::chown(Path(name).c_str(), owner, owner) != 0 && owner != ::geteuid()) std::abort();
    ::chmod(Path(name).c_str(), mode);
  }
  void Folder(const std::string& name, uid_t owner, mode_t mode) const {
    ::mkdir(Path(name).c_str(), 0755);
    if (::chown(Path(name).c_str(), owner, owner) != 0 && owner != ::geteuid()) std::abort();
    ::chmod(Path(name).c_str(), mode);
  }
  void Fifo(const std::string& name) const {
    ::mkfifo(Path(name).c_str(), 0600);
    if (::chown(Path(name).c_str(), caller, caller) != 0 && caller != ::geteuid()) std::abort();
  }
  void Link(const std::string& target, const std::string& name) const {
    if (::symlink(target.c_str(), Path(name).c_str()) != 0) std::abort();
  }
};

enum Owner { kCaller, kOther };
constexpr int kNoFifo = -1, kFifoReadsAll = 1 << 30;

struct OverwriteCase {
  const char* label;
  void (*setup)(const Scene&);
  const char* output;
  const char* input;  // the writer refuses an output that is this file
  bool asRoot;        // the writer is root instead of the caller
  int fifoReads;      // bytes a reader of a FIFO output takes before closing
  int result;
  const char* checked;  // whose bytes, owner, mode and links are checked; null for none
  bool newBytes;
  Owner owner;
  mode_t mode;
  nlink_t links;
  bool needsOtherUser;
};

int WriteAsCaller(const Scene& scene, const OverwriteCase& c, const TStudyRecord& record) {
  pid_t child = ::fork();
  if (child == 0) {
    ::umask(022);
    if (!c.asRoot && ::geteuid() == 0 &&
        (::setgid(scene.caller) != 0 || ::setuid(scene.caller) != 0))
      ::_exit(3);
    std::string output = scene.Path(c.output);
    if (c.input && RefuseOutputIsInput(output.c_str(), scene.Path(c.input).c_str()) != kGsdWritten)
      ::_exit(kGsdNotWritten);
    ::_exit(WriteGsdFile(output.c_str(), &record, true));
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 100 + WTERMSIG(status);
}

// Takes up to limit bytes from a FIFO, then closes it.
std::string ReadFifo(const std::string& path, int limit) {
  int fd = ::open(path.c_str(), O_RDONLY);
  std::string bytes;
  char chunk[4096];
  for (ssize_t n;
       static_cast<int>(bytes.size()) < limit &&
       (n = ::read(fd, chunk, std::min<std::size_t>(sizeof chunk, limit - bytes.size()))) > 0;)
    bytes.append(chunk, static_cast<std::size_t>(n));
  ::close(fd);
  return bytes;
}

}  // namespace

TEST(WriteGsdFile, OverwriteRules) {
  const OverwriteCase cases[] = {
      // label, setup, output, input, asRoot, fifoReads, result, checked, newBytes, owner, mode,
      // links, needsOtherUser
      {"absent", [](const Scene&) {}, "o.gsd", nullptr, false, kNoFifo, 0, "o.gsd", true, kCaller,
       0644, 1, false},
      {"own file", [](const Scene& s) { s.File("o.gsd", s.caller, 0640); }, "o.gsd", nullptr, false,
       kNoFifo, 0, "o.gsd", true, kCaller, 0640, 1, false},
      {"own setuid file", [](const Scene& s) { s.File("o.gsd", s.caller, 06750); }, "o.gsd",
       nullptr, false, kNoFifo, 0, "o.gsd", true, kCaller, 0750, 1, false},
      {"own read-only file", [](const Scene& s) { s.File("o.gsd", s.caller, 0444); }, "o.gsd",
       nullptr, false, kNoFifo, 1, "o.gsd", false, kCaller, 0444, 1, true},
      {"another user's writable file", [](const Scene& s) { s.File("o.gsd", s.other, 0666); },
       "o.gsd", nullptr, false, kNoFifo, 0, "o.gsd", true, kOther, 0666, 1, true},
      {"another user's read-only file", [](const Scene& s) { s.File("o.gsd", s.other, 0644); },
       "o.gsd", nullptr, false, kNoFifo, 1, "o.gsd", false, kOther, 0644, 1, true},
      {"root onto a user's file", [](const Scene& s) { s.File("o.gsd", s.caller, 0640); }, "o.gsd",
       nullptr, true, kNoFifo, 0, "o.gsd", true, kCaller, 0640, 1, true},
      {"a file in a read-only folder",
       [](const Scene& s) {
         s.Folder("ro", s.caller, 0755);
         s.File("ro/o.gsd", s.caller, 0644);
         ::chmod(s.Path("ro").c_str(), 0555);
       },
       "ro/o.gsd", nullptr, false, kNoFifo, 0, "ro/o.gsd", true, kCaller, 0644, 1, true},
      {"hard-linked file",
       [](const Scene& s) {
         s.File("o.gsd", s.caller, 0644);
         ::link(s.Path("o.gsd").c_str(), s.Path("twin").c_str());
       },
       "o.gsd", nullptr, false, kNoFifo, 0, "twin", true, kCaller, 0644, 2, false},
      {"symlink into another user's folder",
       [](const Scene& s) {
         s.Folder("theirs", s.other, 0755);
         s.File("theirs/notes.txt", s.other, 0644);
         s.Link(s.Path("theirs/notes.txt"), "o.gsd");
       },
       "o.gsd", nullptr, false, kNoFifo, 1, "theirs/notes.txt", false, kOther, 0644, 1, true},
      {"dangling symlink", [](const Scene& s) { s.Link("made.gsd", "o.gsd"); }, "o.gsd", nullptr,
       false, kNoFifo, 0, "made.gsd", true, kCaller, 0644, 1, false},
      {"/dev/null", [](const Scene&) {}, "/dev/null", nullptr, false, kNoFifo, 0, nullptr, false,
       kCaller, 0, 0, false},
      {"FIFO with a reader", [](const Scene& s) { s.Fifo("o.gsd"); }, "o.gsd", nullptr, false,
       kFifoReadsAll, 0, nullptr, true, kCaller, 0, 0, false},
      {"FIFO whose reader leaves early (SIGPIPE)", [](const Scene& s) { s.Fifo("o.gsd"); }, "o.gsd",
       nullptr, false, 10, 1, nullptr, false, kCaller, 0, 0, false},
      {"same as input by path", [](const Scene& s) { s.File("in.dcm", s.caller, 0644); }, "in.dcm",
       "in.dcm", false, kNoFifo, 1, "in.dcm", false, kCaller, 0644, 1, false},
      {"same as input by link",
       [](const Scene& s) {
         s.File("in.dcm", s.caller, 0644);
         s.Link("in.dcm", "o.gsd");
       },
       "o.gsd", "in.dcm", false, kNoFifo, 1, "in.dcm", false, kCaller, 0644, 1, false},
      {"same as input by hard link",
       [](const Scene& s) {
         s.File("in.dcm", s.caller, 0644);
         ::link(s.Path("in.dcm").c_str(), s.Path("o.gsd").c_str());
       },
       "o.gsd", "in.dcm", false, kNoFifo, 1, "in.dcm", false, kCaller, 0644, 2, false},
  };
  const bool root = ::geteuid() == 0;
  // 2 MiB: more than a pipe holds, so a reader that leaves early is noticed.
  const TStudyRecord record = WorkedExample();
  std::string newBytes;
  {
    TempDir reference;
    ASSERT_EQ(WriteGsdFile(reference.File("o.gsd").c_str(), &record, true), kGsdWritten);
    newBytes = ReadBytes(reference.File("o.gsd"));
  }
  for (const OverwriteCase& c : cases) {
    if ((c.needsOtherUser || c.asRoot) && !root) continue;
    SCOPED_TRACE(c.label);
    TempDir dir;
    ::chmod(dir.path().c_str(), 01777);  // a shared folder, as /tmp is
    Scene scene{dir.path(), root ? 65534u : ::geteuid(), root ? 0u : ::geteuid()};
    c.setup(scene);
    const std::string output = scene.Path(c.output);
    struct stat before {};
    bool existed = ::lstat(output.c_str(), &before) == 0;

    std::string fromFifo;
    std::thread reader;
    if (c.fifoReads != kNoFifo)
      reader = std::thread([&] { fromFifo = ReadFifo(output, c.fifoReads); });
    EXPECT_EQ(WriteAsCaller(scene, c, record), c.result);
    if (reader.joinable()) {
      ::close(::open(output.c_str(), O_WRONLY | O_NONBLOCK));  // frees a reader still waiting
      reader.join();
    }
    if (c.fifoReads == kFifoReadsAll) {
      EXPECT_EQ(fromFifo, newBytes);
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
      EXPECT_EQ(after.st_uid, c.owner == kCaller ? scene.caller : scene.other);
      EXPECT_EQ(after.st_mode & 07777, c.mode);
      EXPECT_EQ(after.st_nlink, c.links);
    }
    for (const std::string& name : dir.Entries())
      EXPECT_NE(name[0], '.') << "temporary file left: " << name;
    ::chmod(scene.Path("ro").c_str(), 0755);
  }
}

TEST(WriteGsdFile, TerminationDuringTheWriteLeavesNoTemporary) {
  TempDir dir;
  const std::string path = dir.File("o.gsd");
  TStudyRecord record = WorkedExample();
  for (int signal : {SIGTERM, SIGINT, SIGHUP}) {
    for (bool unnamed : {true, false}) {
      WriteBytes(path, "old bytes");
      pid_t child = ::fork();
      if (child == 0) {
        GsdUnnamedTempFiles = unnamed;
        OpenGsdStream = OpenFailingStream;
        FailAfter = 20000;  // the stream ends the process there instead of failing
        TerminateAtFailure = signal;
        ::_exit(WriteGsdFile(path.c_str(), &record, true));
      }
      int status = 0;
      ::waitpid(child, &status, 0);
      EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal) << signal << unnamed;
      EXPECT_EQ(ReadBytes(path), "old bytes");
      EXPECT_EQ(dir.Entries().size(), 1u) << "temporary file left after signal " << signal;
    }
  }
}
