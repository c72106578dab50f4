// The seam's file services: what a file is, holding and walking folders,
// reading inputs, the safe write's parts, placeholders, processes and the
// report descriptor. The same tables run against the POSIX services here and
// the Windows ones under wine; rows only one system can set up say so.
#include <gtest/gtest.h>
#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/beneath.h"
#include "platform/descriptor.h"
#include "platform/file_attributes.h"
#include "platform/file_status.h"
#include "platform/file_system_kind.h"
#include "platform/held_file.h"
#include "platform/input_file.h"
#include "platform/memory_stream.h"
#include "platform/placeholder_file.h"
#include "platform/report_descriptor.h"
#include "platform/running_process.h"
#include "platform/stream_size.h"
#include "platform/temp_file.h"
#include "platform/write_open.h"
#include "tests/platform/scratch_folder.h"

namespace {

namespace fs = std::filesystem;

// Wine stands in for Windows here; where it falls short of it, a row says so.
bool RunsUnderWine() {
#ifdef _WIN32
  return ::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
#else
  return false;
#endif
}

void Write(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

std::string Read(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

std::vector<std::string> Listed(int folder) {
  std::vector<std::string> names;
  EXPECT_EQ(ListHeldFolder(folder, names), 0);
  std::sort(names.begin(), names.end());
  return names;
}

// A scratch folder with a file "f" (6 bytes), a hard link "hard" to it, a
// folder "sub" with "g", and, where the system lets a test make them, a
// link "link" to f and a FIFO "fifo".
class Tree : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(dir.path().empty());
    Write(dir.File("f"), "frames");
    fs::create_hard_link(dir.File("f"), dir.File("hard"));
    fs::create_directory(dir.File("sub"));
    Write(dir.File("sub/g"), "g");
    std::error_code noLinks;
    fs::create_symlink("f", dir.File("link"), noLinks);
    links = !noLinks;
#ifndef _WIN32
    fifo = ::mkfifo(dir.File("fifo").c_str(), 0600) == 0;
#endif
    ASSERT_EQ(HoldFolder(dir.path(), root), 0);
  }
  // The names the fixture made.
  std::vector<std::string> Made() const {
    std::vector<std::string> names = {"f", "hard", "sub"};
    if (fifo) names.push_back("fifo");
    if (links) names.push_back("link");
    std::sort(names.begin(), names.end());
    return names;
  }
  ScratchFolder dir;
  UniqueFd root;
  bool links = false, fifo = false;
};

TEST_F(Tree, StatusTellsTypeSizeIdentityAndLinks) {
  const struct {
    const char* name;
    bool follow;
    int error;
    FileType type;
    long long size;
    std::uint64_t links;
    bool needsLink;
  } rows[] = {
      {"f", false, 0, FileType::kRegular, 6, 2, false},
      {"hard", true, 0, FileType::kRegular, 6, 2, false},
      {"sub", false, 0, FileType::kFolder, -1, 0, false},
      {"missing", false, ENOENT, FileType::kOther, 0, 0, false},
      {"link", false, 0, FileType::kLink, -1, 0, true},
      {"link", true, 0, FileType::kRegular, 6, 2, true},
  };
  if (!links) std::printf("no symbolic links here: their rows are not checked\n");
  const std::optional<FileIdentity> f = IdentityOfPath(dir.File("f"));
  ASSERT_TRUE(f);
  for (const auto& row : rows) {
    if (row.needsLink && !links) continue;
    SCOPED_TRACE(std::string(row.name) + (row.follow ? " (followed)" : ""));
    FileStatus byPath, byEntry, byHeld;
    ASSERT_EQ(StatusOfPath(dir.File(row.name), row.follow, byPath), row.error);
    if (!row.follow) {
      EXPECT_EQ(StatusOfEntry(root.get(), row.name, byEntry), row.error);
    }
    if (row.error != 0) continue;
    EXPECT_EQ(byPath.type, row.type);
    if (row.size >= 0) {
      EXPECT_EQ(byPath.size, row.size);
    }
    if (row.links != 0) {
      EXPECT_EQ(byPath.links, row.links);
    }
    EXPECT_EQ(byPath.identity == *f, row.type == FileType::kRegular);
    if (!row.follow) {
      EXPECT_EQ(byEntry.type, byPath.type);
      EXPECT_EQ(byEntry.identity, byPath.identity);
    }
    UniqueFd held;
    ASSERT_EQ(
        row.follow ? HoldPath(dir.File(row.name), held) : HoldEntry(root.get(), row.name, held), 0);
    ASSERT_EQ(StatusOf(held.get(), byHeld), 0);
    EXPECT_EQ(byHeld.type, byPath.type);
    EXPECT_EQ(byHeld.identity, byPath.identity);
  }
  // Written by its owner, who is this process.
  FileStatus file;
  ASSERT_EQ(StatusOfPath(dir.File("f"), false, file), 0);
  EXPECT_NE(file.permissions & 0200u, 0u);
  EXPECT_EQ(file.owner, EffectiveUser());
}

TEST_F(Tree, HeldFoldersWalkListAndOpen) {
  EXPECT_EQ(Listed(root.get()), Made());
  UniqueFd sub, parent, file, readable, again;
  ASSERT_EQ(HoldFolderThrough(root.get(), "sub", sub), 0);
  EXPECT_EQ(Listed(sub.get()), std::vector<std::string>{"g"});
  ASSERT_EQ(HoldParent(sub.get(), parent), 0);
  FileStatus up, top;
  ASSERT_EQ(StatusOf(parent.get(), up), 0);
  ASSERT_EQ(StatusOf(root.get(), top), 0);
  EXPECT_EQ(up.identity, top.identity);
  // The root's parent is itself.
  UniqueFd system, above;
  ASSERT_EQ(HoldFolder("/", system), 0);
  ASSERT_EQ(HoldParent(system.get(), above), 0);
  FileStatus systemRoot, aboveRoot;
  ASSERT_EQ(StatusOf(system.get(), systemRoot), 0);
  ASSERT_EQ(StatusOf(above.get(), aboveRoot), 0);
  EXPECT_EQ(systemRoot.identity, aboveRoot.identity);
  // A held file opens for reading as itself, whatever its name is now (or,
  // under wine, which reopens by the old name, not at all).
  ASSERT_EQ(HoldEntry(root.get(), "f", file), 0);
  fs::rename(dir.File("f"), dir.File("renamed"));
  Write(dir.File("f"), "another");
  const int reopened = OpenHeldForReading(file.get(), readable);
  if (!RunsUnderWine()) {
    ASSERT_EQ(reopened, 0);
  }
  char bytes[16] = {};
  if (reopened == 0) {
    EXPECT_EQ(ReadAt(readable.get(), bytes, sizeof bytes, 0), 6);
    EXPECT_STREQ(bytes, "frames");
  }
  ASSERT_EQ(HoldEntry(root.get(), "renamed", file), 0);
  ASSERT_EQ(OpenHeldForReading(file.get(), readable), 0);
  EXPECT_EQ(ReadAt(readable.get(), bytes, sizeof bytes, 0), 6);
  ASSERT_EQ(OpenFolderForReading(sub.get(), again), 0);
  const struct {
    const char* label;
    int error;
    int result;
  } refusals[] = {
      {"a file as a folder", ENOTDIR, HoldFolder(dir.File("hard"), again)},
      {"a missing entry", ENOENT, HoldEntry(root.get(), "missing", again)},
      {"a missing path", ENOENT, HoldPath(dir.File("missing"), again)},
  };
  for (const auto& row : refusals) EXPECT_EQ(row.result, row.error) << row.label;
  EXPECT_TRUE(MayChangeFolder(root.get()));
}

TEST_F(Tree, NamesResolveBeneathTheRoot) {
  const struct {
    const char* relative;
    int error;
    const char* target;  // what it holds, below the root
  } rows[] = {
      {"", 0, ""},
      {"sub/g", 0, "sub/g"},
      {"sub/../f", 0, "f"},
      {"./sub", 0, "sub"},
      {"..", EXDEV, nullptr},
      {"sub/../../f", EXDEV, nullptr},
      {"x", ENOENT, nullptr},
      {"f/x", ENOTDIR, nullptr},
  };
  for (const BeneathWay way : {BeneathWay::kKernelFirst, BeneathWay::kWalkOnly}) {
    for (const auto& row : rows) {
      SCOPED_TRACE(row.relative);
      UniqueFd held(OpenPathBeneath(root.get(), row.relative, way));
      EXPECT_EQ(held.valid() ? 0 : -held.Release(), row.error);
      if (!held.valid()) continue;
      FileStatus status;
      ASSERT_EQ(StatusOf(held.get(), status), 0);
      EXPECT_EQ(status.identity, IdentityOfPath(dir.File(row.target)));
    }
  }
  // Elsewhere than Linux a link is refused rather than read; there it is
  // followed while it stays beneath.
  if (links) {
    UniqueFd held(OpenPathBeneath(root.get(), "link"));
#ifdef _WIN32
    EXPECT_EQ(held.get(), -ELOOP);
#else
    EXPECT_TRUE(held.valid());
#endif
  }
}

TEST_F(Tree, InputsOpenOnlyAsAsked) {
  const struct {
    const char* name;
    bool needsFifo;
    int regular;   // OpenRegularFile's result
    int readable;  // OpenReadableStream's result
  } rows[] = {
      {"f", false, 0, 0},
      {"missing", false, ENOENT, ENOENT},
      {"sub", false, kNotRegularFile, -1},  // -1: whatever the system says of a folder
      {"fifo", true, kNotRegularFile, 0},   // looked at, never opened; or opened without waiting
  };
  for (const auto& row : rows) {
    if (row.needsFifo && !fifo) continue;
    SCOPED_TRACE(row.name);
    UniqueFd fd;
    FileStatus status;
    EXPECT_EQ(OpenRegularFile(dir.File(row.name), fd, status), row.regular);
    std::FILE* stream = nullptr;
    EXPECT_EQ(OpenRegularFileStream(dir.File(row.name), stream), row.regular);
    if (stream != nullptr) {
      EXPECT_EQ(RegularFileBytes(stream), 6);
      char bytes[8] = {};
      EXPECT_EQ(std::fread(bytes, 1, sizeof bytes, stream), 6u);
      std::fclose(stream);
    }
    std::FILE* any = nullptr;
    const int opened = OpenReadableStream(dir.File(row.name), any);
    if (row.readable >= 0) {
      EXPECT_EQ(opened, row.readable);
    }
    if (any != nullptr) std::fclose(any);
    if (row.regular != 0) continue;
    EXPECT_EQ(status.size, 6);
    // Read at an offset, the position stays; the file's own name reopens it.
    char two[2];
    EXPECT_EQ(ReadAt(fd.get(), two, 2, 4), 2);
    EXPECT_EQ(std::string(two, 2), "es");
    EXPECT_EQ(ReadAt(fd.get(), two, 2, 6), 0);
    std::FILE* whole = StreamOverDescriptor(fd.get(), "rb");
    ASSERT_NE(whole, nullptr);
    fd.Release();
    EXPECT_EQ(std::fgetc(whole), 'f');
    EXPECT_EQ(IdentityOfPath(NameOfOpenFile(fileno(whole))), IdentityOfPath(dir.File("f")));
    std::fclose(whole);
  }
  const char text[] = "abc";
  std::FILE* memory = OpenMemoryStream(text, 3);
  ASSERT_NE(memory, nullptr);
  EXPECT_EQ(RegularFileBytes(memory), -1);
  std::fclose(memory);
}

// The safe write's parts: a temporary beside the output that takes its
// name in one rename, leaving no other name behind.
TEST_F(Tree, TemporariesTakeTheOutputsNameOrLeaveNone) {
  const struct {
    const char* label;
    const char* existing;  // null: no output yet
    bool unnamed;
    bool commit;
    const char* after;  // the output's bytes after, null: none
  } rows[] = {
      {"a new output", nullptr, false, true, "new"},
      {"a new output, unnamed first", nullptr, true, true, "new"},
      {"over an old one", "old", false, true, "new"},
      {"over an old one, unnamed first", "old", true, true, "new"},
      {"abandoned", "old", false, false, "old"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.label);
    ScratchFolder out;
    ASSERT_FALSE(out.path().empty());
    if (row.existing != nullptr) Write(out.File("out.gsd"), row.existing);
    UniqueFd folder;
    ASSERT_EQ(HoldFolder(out.path(), folder), 0);
    ASSERT_EQ(OpenFolderForReading(folder.get(), folder), 0);
    {
      WriteSignals signals;
      TempFile temp;
      ASSERT_EQ(temp.Create(folder.get(), "out.gsd", row.unnamed), 0);
      UniqueFd copy;
      ASSERT_EQ(DuplicateDescriptor(temp.fd(), copy), 0);
      std::FILE* stream = StreamOverDescriptor(copy.get(), "wb");
      ASSERT_NE(stream, nullptr);
      copy.Release();
      std::fputs("new", stream);
      EXPECT_EQ(std::fclose(stream), 0);
      EXPECT_EQ(SyncToDisk(temp.fd()), 0);
      if (row.commit) {
        EXPECT_EQ(temp.Commit(), 0);
      }
    }
    SyncToDisk(folder.get());  // a folder may not sync everywhere
    EXPECT_EQ(Listed(folder.get()),
              row.after ? std::vector<std::string>{"out.gsd"} : std::vector<std::string>{});
    if (row.after) {
      EXPECT_EQ(Read(out.File("out.gsd")), row.after);
    }
  }
  // A model of a new file, and a named temporary handed over, keep no name
  // (here at once; on Windows once they are closed).
  UniqueFd model;
  ASSERT_EQ(OpenNewFileModel(root.get(), "f", false, model), 0);
  FileStatus modelStatus;
  ASSERT_EQ(StatusOf(model.get(), modelStatus), 0);
  EXPECT_EQ(modelStatus.type, FileType::kRegular);
  EXPECT_EQ(modelStatus.size, 0);
  TempFile handed;
  ASSERT_EQ(handed.CreateNamed(root.get(), "f", 0600), 0);
  UniqueFd kept(handed.Release());
  EXPECT_TRUE(kept.valid());
#ifndef _WIN32
  EXPECT_EQ(Listed(root.get()), Made());
#endif
  // What the replacing file takes over: the mode, where there is one.
  FileStatus keptStatus, given;
  ASSERT_EQ(StatusOf(kept.get(), keptStatus), 0);
  UniqueFd target;
  ASSERT_EQ(OpenForWritingInPlace(root.get(), "hard", false, target), 0);
  EXPECT_EQ(CopyFileAttributes(kept.get(), keptStatus, target.get()), 0);
  ASSERT_EQ(StatusOf(target.get(), given), 0);
#ifndef _WIN32
  EXPECT_EQ(keptStatus.permissions, 0600u);
  EXPECT_EQ(given.permissions, 0600u);
#endif
  model.Reset();
  kept.Reset();
  EXPECT_EQ(Listed(root.get()), Made());
}

TEST_F(Tree, WritesOpenAsAskedAndLock) {
  const struct {
    const char* label;
    const char* name;
    int how;  // 0: in place, 1: create, 2: append
    bool needs;
    int error;
  } rows[] = {
      {"in place", "f", 0, true, 0},
      {"in place, absent", "absent", 0, true, ENOENT},
      {"create, taken", "f", 1, true, EEXIST},
      {"create, free", "new", 1, true, 0},
      {"append, absent", "log", 2, true, 0},
      {"append again", "log", 2, true, 0},
      {"in place, a link", "link", 0, links, ELOOP},
      {"create over a link", "link", 1, links, EEXIST},
      {"a FIFO without a reader", "fifo", 0, fifo, ENXIO},
  };
  for (const auto& row : rows) {
    if (!row.needs) continue;
    SCOPED_TRACE(row.label);
    UniqueFd fd;
    const int error = row.how == 0   ? OpenForWritingInPlace(root.get(), row.name, false, fd)
                      : row.how == 1 ? CreateForWriting(root.get(), row.name, fd)
                                     : OpenForAppending(root.get(), row.name, false, fd);
    EXPECT_EQ(error, row.error);
    if (error != 0) continue;
    std::FILE* stream = StreamOverDescriptor(fd.get(), row.how == 2 ? "a" : "wb");
    ASSERT_NE(stream, nullptr);
    fd.Release();
    std::fputs("xy", stream);
    EXPECT_EQ(std::fclose(stream), 0);
  }
  EXPECT_EQ(Read(dir.File("f")), "xyames");  // in place: neither truncated nor appended
  EXPECT_EQ(Read(dir.File("log")), "xyxy");
  // One writer at a time, then emptied.
  UniqueFd first, second;
  ASSERT_EQ(OpenForWritingInPlace(root.get(), "f", false, first), 0);
  ASSERT_EQ(OpenForWritingInPlace(root.get(), "hard", false, second), 0);
  EXPECT_EQ(TryLockExclusive(first.get()), 0);
  EXPECT_EQ(TryLockExclusive(second.get()), EWOULDBLOCK);
  EXPECT_EQ(TruncateToEmpty(first.get()), 0);
  first.Reset();
  EXPECT_EQ(TryLockExclusive(second.get()), 0);
  EXPECT_EQ(RegularFileSize(dir.File("f")), 0);
}

TEST_F(Tree, PlaceholdersHoldANameUntilRemoved) {
  const struct {
    const char* name;
    bool needs;
    int created;
    long long size;
    bool taken;
  } rows[] = {
      {"fresh", true, 0, 0, true},       {"fresh", true, EEXIST, 0, true},
      {"f", true, EEXIST, 6, true},      {"sub", true, EEXIST, -1, true},
      {"link", links, EEXIST, -1, true},
  };
  for (const auto& row : rows) {
    if (!row.needs) continue;
    SCOPED_TRACE(row.name);
    EXPECT_EQ(CreatePlaceholder(dir.File(row.name)), row.created);
    EXPECT_EQ(RegularFileSize(dir.File(row.name)), row.size);
    EXPECT_EQ(NameTaken(dir.File(row.name)), row.taken);
  }
  EXPECT_EQ(RemoveName(dir.File("fresh")), 0);
  EXPECT_FALSE(NameTaken(dir.File("fresh")));
  EXPECT_EQ(RegularFileSize(dir.File("fresh")), -1);
  EXPECT_EQ(RemoveName(dir.File("fresh")), ENOENT);
}

TEST(FileSystemKind, TellsTheKernelsOwn) {
  ScratchFolder dir;
  ASSERT_FALSE(dir.path().empty());
  const struct {
    std::string path;
    const char* kind;  // null: an ordinary file system
  } rows[] = {
      {dir.path(), nullptr},
#ifndef _WIN32
      {"/proc/self", "proc"},
      {"/sys/kernel", "sysfs"},
#endif
  };
  for (const auto& row : rows) {
    UniqueFd held;
    FileStatus status;
    if (HoldFolder(row.path, held) != 0) continue;  // no sysfs in this container
    ASSERT_EQ(StatusOf(held.get(), status), 0);
    const char* kind = KernelFileSystem(held.get(), status.identity.volume);
    EXPECT_STREQ(kind, row.kind) << row.path;
    EXPECT_EQ(OnProcFileSystem(held.get()),
              row.kind != nullptr && std::strcmp(row.kind, "proc") == 0)
        << row.path;
  }
}

TEST(ProcessesAndDescriptors, AnswerForWhatIsThere) {
#ifdef _WIN32
  const long long self = ::GetCurrentProcessId();
#else
  const long long self = ::getpid();
#endif
  EXPECT_TRUE(ProcessRuns(self));
  EXPECT_FALSE(ProcessRuns(0));
  EXPECT_FALSE(ProcessRuns(-1));
  ScratchFolder dir;
  ASSERT_FALSE(dir.path().empty());
  std::FILE* report = std::fopen(dir.File("report").c_str(), "wb");
  ASSERT_NE(report, nullptr);
  const int fd = fileno(report);
  const struct {
    int fd;
    bool open;
  } rows[] = {{fd, true}, {-1, false}, {fd + 100, false}};
  for (const auto& row : rows) EXPECT_EQ(TakeInheritedDescriptor(row.fd), row.open) << row.fd;
  const std::string line(100000, 'x');
  EXPECT_TRUE(WriteWhole(fd, line + "\n"));
  std::fclose(report);
  EXPECT_EQ(Read(dir.File("report")), line + "\n");
}

}  // namespace
