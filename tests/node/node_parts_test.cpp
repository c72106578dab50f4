// The node's parts that need no network: options, the allow-list, the log
// line, the converter's exit codes and warnings, UID keys and moves that
// never replace a file.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "child_process.h"
#include "node_log.h"
#include "node_options.h"
#include "spool.h"
#include "test_support.h"
#include "worker_pool.h"

namespace {

int Parse(std::vector<std::string> args, NodeOptions& options, std::string& message) {
  args.insert(args.begin(), "gsd-node");
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  return ParseNodeOptions(static_cast<int>(argv.size()), argv.data(), options, message);
}

TEST(NodeOptions, DefaultsAndRefusals) {
  NodeOptions options;
  std::string message;
  ASSERT_EQ(Parse({"--spool", "s", "--out", "o"}, options, message), -1) << message;
  EXPECT_EQ(options.aeTitle, "GSDNODE");
  EXPECT_EQ(options.port, 11112);
  EXPECT_EQ(options.maxAssociations, 4);
  EXPECT_EQ(options.workers, 1);
  EXPECT_EQ(options.nameTemplate, "%i_%d_%t_%u.gsd");

  const std::vector<std::vector<std::string>> bad = {
      {"--out", "o"},
      {"--spool", "s", "--out", "o", "--port", "0"},
      {"--spool", "s", "--out", "o", "--port", "65536"},
      {"--spool", "s", "--out", "o", "--aet", "SEVENTEEN_CHARS_X"},
      {"--spool", "s", "--out", "o", "--aet", "BACK\\SLASH"},
      {"--spool", "s", "--out", "o", "--allow", "PACS@"},
      {"--spool", "s", "--out", "o", "--workers", "0"},
      {"--spool", "s", "--out", "o", "--name", "../%i.gsd"},
      {"--spool", "s", "--out", "o", "--on-gsd", "notify-send"},
      {"--spool", "s", "--out", "o", "--max-object-size", "-1"},
      {"--spool", "s", "--out", "o", "--unknown"},
  };
  for (const auto& args : bad) {
    NodeOptions refused;
    EXPECT_EQ(Parse(args, refused, message), 2) << args.back();
  }
  NodeOptions hook;
  ASSERT_EQ(
      Parse({"--spool", "s", "--out", "o", "--on-gsd", "/usr/bin/logger -t  gsd"}, hook, message),
      -1);
  EXPECT_EQ(hook.onGsd, (std::vector<std::string>{"/usr/bin/logger", "-t", "gsd"}));
  // --help and --version end the program at once with 0 and their text.
  for (const char* ask : {"--help", "--version"}) {
    NodeOptions asked;
    EXPECT_EQ(Parse({ask}, asked, message), 0) << ask;
    EXPECT_EQ(message.rfind(std::string(ask) == "--help" ? "usage: gsd-node" : "gsd-node 1.", 0),
              0u)
        << message;
  }
}

TEST(NodeOptions, AllowList) {
  const std::vector<AllowedPeer> allow = {{"PACS", ""}, {"CAMERA", "10.0.0.5"}};
  const struct {
    const char* ae;
    const char* peer;
    bool allowed;
  } rows[] = {{"PACS", "10.9.9.9", true},
              {"CAMERA", "10.0.0.5", true},
              {"CAMERA", "10.0.0.6", false},
              {"pacs", "10.9.9.9", false},
              {"OTHER", "10.0.0.5", false}};
  for (const auto& row : rows)
    EXPECT_EQ(PeerAllowed(allow, row.ae, row.peer), row.allowed) << row.ae << "@" << row.peer;
  EXPECT_TRUE(PeerAllowed({}, "ANY", "1.2.3.4"));
}

TEST(NodeLog, OneLineOfJsonWhateverTheValues) {
  ObjectLogEntry entry;
  entry.callingAe = "CAM\"1";
  entry.patientId = "a\\b\nc\xe9";
  entry.outcome = "converted";
  entry.warnings = {"lossy", "clipped"};
  entry.receiveMs = 1.25;
  std::string line = FormatLogLine(entry, "T");
  EXPECT_EQ(line.find('\n'), std::string::npos);
  EXPECT_NE(line.find("\"calling_ae\":\"CAM\\\"1\""), std::string::npos) << line;
  // A byte that is not UTF-8 as Python's surrogateescape reads it back.
  EXPECT_NE(line.find("\"patient_id\":\"a\\\\b\\u000ac\\udce9\""), std::string::npos) << line;
  EXPECT_NE(line.find("\"warnings\":[\"lossy\",\"clipped\"]"), std::string::npos) << line;
  EXPECT_NE(line.find("\"receive_ms\":1.2"), std::string::npos) << line;
  EXPECT_EQ(line.find("convert_ms"), std::string::npos) << line;
}

TEST(NodeLog, OpensFilesAndNeverWaitsForAFifoReader) {
  TempDir dir;
  ASSERT_EQ(::mkfifo(dir.File("fifo").c_str(), 0600), 0);
  WriteBytes(dir.File("kept.jsonl"), "{}\n");
  const struct {
    std::string path;
    bool opens;
  } rows[] = {{dir.File("new.jsonl"), true},
              {dir.File("kept.jsonl"), true},
              {dir.File("fifo"), false},
              {dir.File("no/such/folder.jsonl"), false}};
  for (const auto& row : rows) {
    ConversionLog log;
    std::string why;
    EXPECT_EQ(log.Open(row.path, why), row.opens) << row.path << ": " << why;
    if (row.opens) log.Event("start", "");
  }
  EXPECT_EQ(ReadBytes(dir.File("kept.jsonl")).rfind("{}\n{\"time\":", 0), 0u);
}

// --report and --log in a folder everybody may write (as /tmp): a link or
// a file another user put there is refused, and what the link led to is
// left as it was; the caller's own link is followed.
TEST(NodeLog, RefusesWhatAnotherUserPlantedInASharedFolder) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to plant files as another user";
  TempDir dir;
  ::chmod(dir.path().c_str(), 01777);
  WriteBytes(dir.File("victim"), "kept\n");
  ASSERT_EQ(::symlink(dir.File("victim").c_str(), dir.File("planted-link").c_str()), 0);
  ASSERT_EQ(::lchown(dir.File("planted-link").c_str(), 65534, 65534), 0);
  WriteBytes(dir.File("planted-file"), "");
  ASSERT_EQ(::chown(dir.File("planted-file").c_str(), 65534, 65534), 0);
  ASSERT_EQ(::symlink(dir.File("mine.jsonl").c_str(), dir.File("own-link").c_str()), 0);
  const struct {
    const char* name;
    bool opens;
  } rows[] = {{"planted-link", false}, {"planted-file", false}, {"own-link", true}};
  for (const auto& row : rows) {
    ConversionLog log;
    std::string why;
    EXPECT_EQ(log.Open(dir.File(row.name), why), row.opens) << row.name << ": " << why;
    if (row.opens) log.Event("start", "");
  }
  EXPECT_EQ(ReadBytes(dir.File("victim")), "kept\n");
  EXPECT_EQ(ReadBytes(dir.File("mine.jsonl")).rfind("{\"time\":", 0), 0u);
}

TEST(WorkerPool, ExitCodesAndWarnings) {
  // status: what the folder mode's run takes from the child's exit.
  const struct {
    int code;
    const char* outcome;
    int status;
  } rows[] = {{0, "converted", 0}, {1, "failed", 1},   {2, "failed", 1}, {4, "short", 4},
              {8, "no-memory", 8}, {127, "failed", 1}, {-1, "failed", 1}};
  for (const auto& row : rows) {
    EXPECT_STREQ(OutcomeOfExit(row.code), row.outcome) << row.code;
    EXPECT_EQ(StatusOfExit(row.code), row.status) << row.code;
  }
  EXPECT_EQ(ConverterWarnings("dicom2gsd: warning: in.dcm: lossy\nother\n"
                              "dicom2gsd: in.dcm: failed\ndicom2gsd: warning: in.dcm: clipped"),
            (std::vector<std::string>{"in.dcm: lossy", "in.dcm: clipped"}));
}

// One rule for the node and the folder mode: what dicom2gsd is given.
TEST(WorkerPool, WhatGoesToTheConverter) {
  const char* const nmStorage = "1.2.840.10008.5.1.4.1.1.20";
  const struct {
    const char* modality;
    const char* sopClass;
    bool acceptNonNm, converted;
  } rows[] = {{"NM", "1.2.840.10008.5.1.4.1.1.2", false, true},
              {"CT", nmStorage, false, false},
              {"CT", nmStorage, true, true},  // an NM object another modality names
              {"CT", "1.2.840.10008.5.1.4.1.1.2", true, false},
              {"nm", nmStorage, false, false},
              {"", "", true, false}};
  for (const auto& row : rows)
    EXPECT_EQ(GoesToConverter(row.modality, row.sopClass, row.acceptNonNm), row.converted)
        << row.modality << " " << row.sopClass << " " << row.acceptNonNm;
}

TEST(ChildProcess, ExitSignalAndDeadline) {
  const struct {
    const char* script;
    int exitCode, signal;
    bool timedOut;
    const char* output;
  } rows[] = {
      {"echo out; echo err >&2; exit 3", 3, 0, false, "out\nerr\n"},
      {"kill -9 $$", -1, 9, false, ""},
      {"exec sleep 30", -1, 9, true, ""},
      // Closing its output does not take the child past the deadline.
      {"exec >&- 2>&-; exec sleep 30", -1, 9, true, ""},
      // A process left in the background with the output is not waited for.
      {"sleep 3 & echo left", 0, 0, false, "left\n"},
  };
  for (const auto& row : rows) {
    const auto start = std::chrono::steady_clock::now();
    ChildResult run = RunChild({"/bin/sh", "-c", row.script}, 1, 1024);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10)) << row.script;
    EXPECT_EQ(run.exitCode, row.exitCode) << row.script;
    EXPECT_EQ(run.signal, row.signal) << row.script;
    EXPECT_EQ(run.timedOut, row.timedOut) << row.script;
    EXPECT_EQ(run.output, row.output) << row.script;
  }
  EXPECT_EQ(RunChild({"sh", "-c", "true"}, 1, 1024).exitCode, -1);
  // A program that cannot start says why, and a started one never sees
  // the descriptor that would have told.
  const ChildResult missing = RunChild({"/nonexistent/dicom2gsd"}, 1, 1024);
  EXPECT_EQ(missing.exitCode, 127);
  EXPECT_EQ(missing.output, "cannot start /nonexistent/dicom2gsd: No such file or directory");
  EXPECT_EQ(RunChild({"/bin/sh", "-c", "ls /proc/self/fd"}, 1, 1024).output, "0\n1\n2\n3\n");
}

TEST(Spool, UidKeysAreFileNames) {
  EXPECT_EQ(UidKey("1.2.840.1"), "u1.2.840.1");
  for (const std::string& uid : {std::string(""), std::string("../x"), std::string(".1"),
                                 std::string(65, '1'), std::string("1/2")}) {
    std::string key = UidKey(uid);
    EXPECT_EQ(key[0], 'h') << uid;
    EXPECT_EQ(key.find('/'), std::string::npos);
  }
  EXPECT_NE(UidKey("1/2"), UidKey("1/3"));
}

TEST(Spool, MovesNeverReplace) {
  TempDir dir;
  std::string path;
  std::string error;
  for (int i = 0; i < 3; ++i) {
    WriteBytes(dir.File("from"), std::to_string(i));
    ASSERT_TRUE(MoveIntoFolder(dir.File("from"), dir.path(), "kept.dcm", path, error)) << error;
  }
  EXPECT_EQ(ReadBytes(dir.File("kept.dcm")), "0");
  EXPECT_EQ(ReadBytes(dir.File("kept-1.dcm")), "1");
  EXPECT_EQ(ReadBytes(dir.File("kept-2.dcm")), "2");
  EXPECT_EQ(path, dir.File("kept-2.dcm"));
  ASSERT_TRUE(WriteNewFile(dir.path(), "kept.reason", "why", path, error));
  EXPECT_EQ(ReadBytes(dir.File("kept.reason")), "why");
}

}  // namespace
