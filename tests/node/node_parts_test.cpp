// The node's parts that need no network: options, the allow-list, the log
// line, the converter's exit codes and warnings, UID keys and moves that
// never replace a file.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "node/failed_pruning.h"
#include "node/node_log.h"
#include "node/node_options.h"
#include "node/received_object.h"
#include "node/sha256.h"
#include "node/spool.h"
#include "node/worker_pool.h"
#include "process/child_process.h"
#include "process/converter_outcome.h"
#include "tests/test_support.h"

namespace {

// The names in folder, "." and ".." left out.
std::vector<std::string> Files(const std::string& folder) {
  std::vector<std::string> names;
  if (DIR* dir = ::opendir(folder.c_str())) {
    while (const dirent* entry = ::readdir(dir))
      if (std::string(entry->d_name) != "." && std::string(entry->d_name) != "..")
        names.push_back(entry->d_name);
    ::closedir(dir);
  }
  return names;
}

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
  EXPECT_EQ(options.maxAssociations, 16);
  EXPECT_EQ(options.acseTimeout, 10);
  EXPECT_EQ(options.workers, 1);
  EXPECT_EQ(options.nameTemplate, "%i_%d_%t_%u.gsd");

  const std::vector<std::vector<std::string>> bad = {
      {"--out", "o"},
      {"--spool", "s", "--out", "o", "--port", "0"},
      {"--spool", "s", "--out", "o", "--port", "65536"},
      {"--spool", "s", "--out", "o", "--aet", "SEVENTEEN_CHARS_X"},
      {"--spool", "s", "--out", "o", "--aet", "BACK\\SLASH"},
      {"--spool", "s", "--out", "o", "--allow", "PACS@"},
      {"--spool", "s", "--out", "o", "--allow", "PACS@no-such-host.invalid"},
      {"--spool", "s", "--out", "o", "--workers", "0"},
      {"--spool", "s", "--out", "o", "--keep-failed-days", "0"},
      {"--spool", "s", "--out", "o", "--name", "../%i.gsd"},
      {"--spool", "s", "--out", "o", "--on-gsd", "notify-send"},
      {"--spool", "s", "--out", "o", "--max-object-size", "-1"},
      {"--spool", "s", "--out", "o", "--bind", "::1"},
      {"--spool", "s", "--out", "o", "--bind", "10.1.2"},
      {"--spool", "s", "--out", "o", "--tls-key", "k"},
      {"--spool", "s", "--out", "o", "--tls-key", "k", "--tls-ca", "a"},
      {"--spool", "s", "--out", "o", "--tls-key", "k", "--tls-cert", "c", "--tls-ca", ""},
      {"--spool", "s", "--out", "o", "--unknown"},
      {"--check", "localhost"},
      {"--check", "localhost", "0"},
  };
  for (const auto& args : bad) {
    NodeOptions refused;
    EXPECT_EQ(Parse(args, refused, message), 2) << args.back();
  }
  // IPv6 is refused for what it is, not as a malformed address.
  for (const char* address : {"::1", "::", "[::1]", "fe80::1%eth0"}) {
    NodeOptions refused;
    EXPECT_EQ(Parse({"--spool", "s", "--out", "o", "--bind", address}, refused, message), 2);
    EXPECT_NE(message.find(": IPv6 is not supported: DCMTK 3.6.7's acceptor listens on IPv4 only"),
              std::string::npos)
        << message;
  }
  NodeOptions halfTls;
  EXPECT_EQ(Parse({"--spool", "s", "--out", "o", "--tls-cert", "c"}, halfTls, message), 2);
  EXPECT_EQ(message, "--tls-key, --tls-cert and --tls-ca go together; missing: --tls-key --tls-ca");
  NodeOptions tls;
  ASSERT_EQ(Parse({"--check", "h", "1", "--tls-key", "k", "--tls-cert", "c", "--tls-ca", "a"}, tls,
                  message),
            -1)
      << message;
  EXPECT_TRUE(tls.Tls());
  NodeOptions hook;
  ASSERT_EQ(
      Parse({"--spool", "s", "--out", "o", "--on-gsd", "/usr/bin/logger -t  gsd"}, hook, message),
      -1);
  EXPECT_EQ(hook.onGsd, (std::vector<std::string>{"/usr/bin/logger", "-t", "gsd"}));
  NodeOptions bound;
  ASSERT_EQ(Parse({"--spool", "s", "--out", "o", "--bind", "10.1.2.3"}, bound, message), -1);
  EXPECT_EQ(bound.bindAddress, "10.1.2.3");
  EXPECT_EQ(bound.keepFailedDays, 0);
  NodeOptions pruned;
  ASSERT_EQ(Parse({"--spool", "s", "--out", "o", "--keep-failed-days", "30"}, pruned, message), -1);
  EXPECT_EQ(pruned.keepFailedDays, 30);
  // A monitor's check needs no spool.
  NodeOptions check;
  ASSERT_EQ(Parse({"--check", "pacs.example", "104", "--aet", "PACSNODE"}, check, message), -1)
      << message;
  EXPECT_EQ(check.checkHost, "pacs.example");
  EXPECT_EQ(check.checkPort, 104);
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
  const std::vector<AllowedPeer> allow = {{"PACS", "", {}}, {"CAMERA", "10.0.0.5", {}}};
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
  // A host name is looked up at start and matches the addresses it has.
  NodeOptions named;
  std::string message;
  ASSERT_EQ(Parse({"--spool", "s", "--out", "o", "--allow", "PACS@localhost"}, named, message), -1)
      << message;
  EXPECT_TRUE(PeerAllowed(named.allow, "PACS", "127.0.0.1"));
  EXPECT_FALSE(PeerAllowed(named.allow, "PACS", "10.0.0.5"));
  NodeOptions unknown;
  EXPECT_EQ(Parse({"--spool", "s", "--out", "o", "--allow", "PACS@no-such-host.invalid"}, unknown,
                  message),
            2);
  EXPECT_NE(message.find("no-such-host.invalid does not resolve"), std::string::npos) << message;
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
  // The node does not know the gating: none of the folder mode's names.
  for (const char* name : {"beats_kept_percent", "worst_gate", "gating"})
    EXPECT_EQ(line.find(name), std::string::npos) << line;
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
}

// What the node and the folder mode take from a child: its outcome line
// when it ended by the status the line gives, else its end alone; its words
// never decide the outcome.
TEST(WorkerPool, OutcomeOfAChild) {
  const std::vector<std::string> warned = {"in.dcm: lossy", "in.dcm: clipped"};
  auto line = [&](int status, const char* kind, const char* reason) {
    ConverterOutcome outcome;
    outcome.status = status;
    outcome.kind = kind;
    outcome.reason = reason;
    outcome.warnings = warned;
    return FormatOutcomeLine(outcome);
  };
  const std::string declined = "modality CT declined" + std::string(kDeclinedNonNmHint);
  const std::string declinedWords = "dicom2gsd: in.dcm: " + declined + "\n";
  const std::string warningWords =
      "dicom2gsd: warning: in.dcm: lossy\nother\ndicom2gsd: warning: in.dcm: clipped\n";
  const struct {
    const char* label;
    int exitCode, signal;
    bool timedOut;
    std::string output, report;
    bool written;
    int status;
    std::string kind, reason;
    bool warned;  // the line's warnings taken
  } rows[] = {
      {"converted", 0, 0, false, warningWords, line(0, "converted", ""), true, 0, "converted", "",
       true},
      {"declined", 1, 0, false, declinedWords, line(1, "declined", declined.c_str()), false, 1,
       "declined", declined, true},
      {"declining words without a line", 1, 0, false, declinedWords, "", false, 1, "failed",
       "in.dcm: " + declined, false},
      {"short", 4, 0, false, "", line(4, "short", "pixel data 2 bytes short"), false, 4, "short",
       "pixel data 2 bytes short", true},
      {"no memory", 8, 0, false, "", line(8, "no-memory", "no memory"), false, 8, "no-memory",
       "no memory", true},
      {"a line the exit contradicts", 1, 0, false, "dicom2gsd: in.dcm: broken\n",
       line(0, "converted", ""), false, 1, "failed", "in.dcm: broken", false},
      {"a cut line", 1, 0, false, "dicom2gsd: in.dcm: broken\n",
       line(1, "declined", "x").substr(0, 30), false, 1, "failed", "in.dcm: broken", false},
      {"exit 0, nothing written", 0, 0, false, "", line(0, "converted", ""), false, 1, "failed",
       "dicom2gsd wrote nothing", true},
      {"deadline", -1, 9, true, "", "", false, 1, "failed", "dicom2gsd did not finish within 300 s",
       false},
      {"signal", -1, 11, false, "", line(1, "declined", "x"), false, 1, "failed",
       "dicom2gsd ended by signal 11", false},
      {"not started", 127, 0, false, "cannot start /x/dicom2gsd: No such file or directory", "",
       false, 1, "failed", "cannot start /x/dicom2gsd: No such file or directory", false},
      {"usage error", 2, 0, false, "", "", false, 1, "failed", "dicom2gsd wrote nothing", false},
  };
  for (const auto& row : rows) {
    ChildResult run;
    run.exitCode = row.exitCode;
    run.signal = row.signal;
    run.timedOut = row.timedOut;
    run.output = row.output;
    run.report = row.report;
    const ConverterOutcome outcome = OutcomeOfChild(run, row.written);
    EXPECT_EQ(outcome.status, row.status) << row.label;
    EXPECT_EQ(outcome.kind, row.kind) << row.label;
    EXPECT_EQ(outcome.reason, row.reason) << row.label;
    EXPECT_EQ(outcome.warnings, row.warned ? warned : std::vector<std::string>()) << row.label;
  }
}

// The line reads back as written, whatever bytes its texts hold; anything
// else is no outcome line.
TEST(WorkerPool, OutcomeLineReadsBack) {
  ConverterOutcome written;
  written.status = 1;
  written.kind = "failed";
  written.reason = "\"quoted\" \\ \x1b]0;title\x07 \xc2\x9b \xe9t\xe9 \xc3\x89tudes \xe2\x80\xa8";
  written.warnings = {"a\nb", "", "\x7f\x01"};
  written.output = "/out/\xff.gsd";
  written.worstGate = 14;
  written.worstGatePercent = -26;
  written.gating = "gates 14-16 (-26 %); \x1b\xe9";
  const std::string line = FormatOutcomeLine(written);
  EXPECT_EQ(std::count(line.begin(), line.end(), '\n'), 1) << line;
  ConverterOutcome read;
  ASSERT_TRUE(ParseOutcomeLine(line, read)) << line;
  EXPECT_EQ(read.status, written.status);
  EXPECT_EQ(read.kind, written.kind);
  EXPECT_EQ(read.reason, written.reason);
  EXPECT_EQ(read.warnings, written.warnings);
  EXPECT_EQ(read.output, written.output);
  EXPECT_EQ(read.worstGate, written.worstGate);
  EXPECT_EQ(read.worstGatePercent, written.worstGatePercent);
  EXPECT_EQ(read.gating, written.gating);
  // Without a gated load the gating's names are left out, and read as none.
  ConverterOutcome plain = written;
  plain.worstGate = 0;
  plain.gating.clear();
  const std::string plainLine = FormatOutcomeLine(plain);
  EXPECT_EQ(plainLine.find("worstGate"), std::string::npos) << plainLine;
  EXPECT_EQ(plainLine.find("gating"), std::string::npos) << plainLine;
  ASSERT_TRUE(ParseOutcomeLine(plainLine, read)) << plainLine;
  EXPECT_EQ(read.worstGate, 0);
  EXPECT_EQ(read.gating, "");
  const std::string head =
      "{\"status\":0,\"kind\":\"\",\"reason\":\"\",\"warnings\":[],\"output\":\"\"";
  for (const std::string& bad : std::vector<std::string>{
           head + ",\"worstGate\":3}",                            // without its per cent
           head + ",\"worstGatePercent\":-26}",                   // without its gate
           head + ",\"worstGate\":0,\"worstGatePercent\":0}",     // no gate 0
           head + ",\"worstGate\":17,\"worstGatePercent\":-26}",  // beyond a GSD's gates
           head + ",\"gating\":\"a\",\"gating\":\"b\"}"})
    EXPECT_FALSE(ParseOutcomeLine(bad, read)) << bad;
  for (const std::string& bad : std::vector<std::string>{
           "", "{}", line.substr(0, line.size() - 3), line + "{}",
           "{\"status\":1,\"status\":1,\"kind\":\"\",\"reason\":\"\",\"warnings\":[],"
           "\"output\":\"\"}",
           "{\"status\":x,\"kind\":\"\",\"reason\":\"\",\"warnings\":[],\"output\":\"\"}",
           "{\"status\":1,\"kind\":\"\\ud800\",\"reason\":\"\",\"warnings\":[],\"output\":\"\"}"})
    EXPECT_FALSE(ParseOutcomeLine(bad, read)) << bad;
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
  // A plain UID of up to 64 characters is its own name; anything else is
  // hashed.
  const struct {
    std::string uid;
    bool plain;
  } rows[] = {{"1.2.840.1", true},
              {std::string(64, '1'), true},
              {std::string(65, '1'), false},
              {"", false},
              {"../x", false},
              {".1", false},
              {"1/2", false}};
  for (const auto& row : rows) {
    std::string key = UidKey(row.uid);
    if (row.plain) {
      EXPECT_EQ(key, "u" + row.uid);
    } else {
      EXPECT_EQ(key[0], 'h') << row.uid;
    }
    EXPECT_EQ(key.find('/'), std::string::npos);
    EXPECT_FALSE(IsContentKey(key)) << row.uid;
  }
  EXPECT_NE(UidKey("1/2"), UidKey("1/3"));
}

// The digest against coreutils' sha256sum, across the block and padding
// boundaries, fed in uneven pieces.
TEST(Sha256, MatchesSha256sum) {
  TempDir dir;
  for (std::size_t size : {0u, 3u, 55u, 56u, 63u, 64u, 65u, 119u, 1000003u}) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 7919 + size) >> 3);
    WriteBytes(dir.File("in"), bytes);
    Sha256 hash;
    for (std::size_t at = 0; at < size; at += 61)
      hash.Update(bytes.data() + at, std::min<std::size_t>(61, size - at));
    CommandResult sum = RunCommand("sha256sum " + ShellQuote(dir.File("in")));
    ASSERT_EQ(sum.exitCode, 0);
    EXPECT_EQ(hash.HexDigest(), sum.standardOutput.substr(0, 64)) << size;
  }
}

// An object's content is its data set: the node's own file meta information
// (which names the calling AE) is left out; a file without one counts whole.
// The hash taken while the object is received is the same.
TEST(Spool, ContentHashLeavesOutTheFileMetaInformation) {
  TempDir dir;
  const std::string meta = std::string(128, '\0') + "DICM" + std::string("\x02\0\0\0UL\x04\0", 8) +
                           Le32(10) + std::string(10, 'm');
  const struct {
    std::string bytes;
    std::size_t hashedFrom;  // where the hashed part begins
  } rows[] = {{meta + "data set", meta.size()},
              {"no meta, only a data set", 0},
              {std::string(100, 'x'), 0}};
  for (const auto& row : rows) {
    WriteBytes(dir.File("hashed"), row.bytes.substr(row.hashedFrom));
    CommandResult sum = RunCommand("sha256sum " + ShellQuote(dir.File("hashed")));
    const std::string expected = sum.standardOutput.substr(0, 64);
    ::unlink(dir.File("object").c_str());
    int fd = ::open(dir.File("object").c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
    ASSERT_GE(fd, 0);
    ReceivedObjectStream stream(fd, 1 << 20);
    stream.write(row.bytes.data(), static_cast<offile_off_t>(row.hashedFrom));
    stream.BeginDataSet();
    stream.write(row.bytes.data() + row.hashedFrom,
                 static_cast<offile_off_t>(row.bytes.size() - row.hashedFrom));
    ::close(fd);
    EXPECT_EQ(stream.ContentHash(), expected) << row.bytes.size();
    EXPECT_EQ(ObjectContentHash(dir.File("object")), expected) << row.bytes.size();
  }
  EXPECT_EQ(ObjectContentHash(dir.File("missing")), "");
}

// A repeated SOP Instance UID: the same data set is a duplicate, other
// content is queued under a key of its own, wherever the twin is.
TEST(Spool, RepeatedUidsAreJudgedByContent) {
  const struct {
    const char* label;
    const char* twin;        // the first object's content
    bool twinDone;           // converted (done marker) rather than queued
    const char* doneMarker;  // nullptr: the marker holds the twin's hash
    const char* copy;        // the later object's content
    Spool::Queued result;
    bool contentKey;  // queued under a key of its content
  } rows[] = {
      {"same content, twin queued", "A", false, nullptr, "A", Spool::Queued::kDuplicate, false},
      {"other content, twin queued", "A", false, nullptr, "B", Spool::Queued::kQueued, true},
      {"same content, twin done", "A", true, nullptr, "A", Spool::Queued::kDuplicate, false},
      {"other content, twin done", "A", true, nullptr, "B", Spool::Queued::kQueued, true},
      {"a marker without a hash", "A", true, "", "A", Spool::Queued::kQueued, true},
  };
  for (const auto& row : rows) {
    TempDir dir;
    Spool spool;
    std::string error, path, key = UidKey("1.2.3");
    ASSERT_TRUE(spool.Open(dir.File("spool"), error)) << error;
    ::close(spool.CreateIncoming(path));
    WriteBytes(path, row.twin);
    ASSERT_EQ(spool.Enqueue(path, key, error), Spool::Queued::kQueued) << row.label;
    if (row.twinDone) {
      ASSERT_TRUE(spool.MarkDone(
          key, row.doneMarker ? row.doneMarker : ObjectContentHash(spool.QueuedPath(key)), error));
      spool.RemoveQueued(key);
    }
    ::close(spool.CreateIncoming(path));
    WriteBytes(path, row.copy);
    std::string copyKey = UidKey("1.2.3");
    EXPECT_EQ(spool.Enqueue(path, copyKey, error), row.result) << row.label << ": " << error;
    EXPECT_EQ(IsContentKey(copyKey), row.contentKey) << row.label;
    if (row.result == Spool::Queued::kQueued) {
      EXPECT_EQ(ReadBytes(spool.QueuedPath(copyKey)), row.copy) << row.label;
    }
    EXPECT_TRUE(Files(dir.File("spool/incoming")).empty()) << row.label;
    // A third copy of the same content is a duplicate.
    ::close(spool.CreateIncoming(path));
    WriteBytes(path, row.copy);
    std::string thirdKey = UidKey("1.2.3");
    EXPECT_EQ(spool.Enqueue(path, thirdKey, error), Spool::Queued::kDuplicate) << row.label;
  }
}

// Each sync and rename of an enqueue and of a done marker runs, in order; a
// failing one fails the step (the sender gets A700) and leaves nothing.
TEST(Spool, SyncsAndRenamesRunInOrderAndAFailureLeavesNothing) {
  const struct {
    const char* label;
    std::optional<OutputStep> failing;
    const char* steps;  // F file sync, R rename, D folder sync
  } rows[] = {{"all good", std::nullopt, "FRD"},
              {"file sync fails", OutputStep::kFileSync, "F"},
              {"rename fails", OutputStep::kRename, "FR"},
              {"folder sync fails", OutputStep::kFolderSync, "FRD"}};
  for (const auto& row : rows) {
    TempDir dir;
    std::string steps;
    Spool spool([&](OutputStep step, const std::function<int()>& run) {
      steps += step == OutputStep::kFileSync ? 'F' : step == OutputStep::kRename ? 'R' : 'D';
      return step == row.failing ? EIO : run();
    });
    std::string error, path, key = UidKey("1.2.3");
    ASSERT_TRUE(spool.Open(dir.File("spool"), error)) << error;
    ::close(spool.CreateIncoming(path));
    WriteBytes(path, "object");
    EXPECT_EQ(spool.Enqueue(path, key, error),
              row.failing ? Spool::Queued::kFailed : Spool::Queued::kQueued)
        << row.label;
    EXPECT_EQ(steps, row.steps) << row.label << ", enqueue";
    EXPECT_TRUE(Files(dir.File("spool/incoming")).empty()) << row.label;
    EXPECT_EQ(Files(dir.File("spool/queue")).size(), row.failing ? 0u : 1u) << row.label;

    steps.clear();
    EXPECT_EQ(spool.MarkDone(key, std::string(64, 'a'), error), !row.failing) << row.label;
    EXPECT_EQ(steps, row.steps) << row.label << ", done marker";
    EXPECT_EQ(Files(dir.File("spool/done")).size(), row.failing ? 0u : 1u) << row.label;
    EXPECT_EQ(spool.IsDone(key), !row.failing) << row.label;
  }
}

// Whoever may write the spool chooses what is converted: a spool folder of
// another user's, or one its group or others may write, is refused by name.
TEST(Spool, RefusesFoldersThatOthersMayWrite) {
  const struct {
    const char* label;
    const char* folder;  // under the spool root; "" the root itself
    mode_t mode;
    uid_t owner;         // 0: the test's own user
    const char* reason;  // empty: accepted
  } rows[] = {
      {"own, 0700", "", 0700, 0, ""},
      {"own, 0750", "", 0750, 0, ""},
      {"group may write the root", "", 0770, 0, "its group or others may write it (mode 0770)"},
      {"others may write the root", "", 0703, 0, "its group or others may write it (mode 0703)"},
      {"others may write queue/", "/queue", 0777, 0,
       "its group or others may write it (mode 0777)"},
      {"queue/ of another user", "/queue", 0700, 65534, "belongs to uid 65534, not to this user"},
  };
  for (const auto& row : rows) {
    if (row.owner != 0 && ::geteuid() != 0) continue;
    TempDir dir;
    const std::string root = dir.File("spool"), folder = root + row.folder;
    ::mkdir(root.c_str(), 0700);
    ::mkdir(folder.c_str(), 0700);
    ASSERT_EQ(::chmod(folder.c_str(), row.mode), 0);
    if (row.owner != 0) {
      ASSERT_EQ(::chown(folder.c_str(), row.owner, row.owner), 0);
    }
    Spool spool;
    std::string error;
    EXPECT_EQ(spool.Open(root, error), *row.reason == '\0') << row.label << ": " << error;
    if (*row.reason != '\0') {
      EXPECT_EQ(error.rfind(folder + ": " + row.reason, 0), 0u) << row.label << ": " << error;
    }
  }
}

// --max-object-size: an object may reach the limit, not pass it by a byte,
// however DCMTK splits its writes.
TEST(ReceivedObject, TheSizeLimitIsReachedButNotPassed) {
  constexpr std::uint64_t kLimit = 1 << 20;
  const struct {
    std::vector<std::uint64_t> writes;
    bool kept;
  } rows[] = {{{kLimit}, true},
              {{kLimit - 1, 1}, true},
              {{kLimit + 1}, false},
              {{kLimit, 1}, false},
              {{1, kLimit}, false}};
  for (const auto& row : rows) {
    TempDir dir;
    int fd = ::open(dir.File("object").c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
    ASSERT_GE(fd, 0);
    std::uint64_t total = 0;
    {
      ReceivedObjectStream stream(fd, kLimit);
      for (std::uint64_t size : row.writes) {
        const std::string bytes(size, 'x');
        stream.write(bytes.data(), static_cast<offile_off_t>(size));
        total += size;
      }
      stream.flush();
      EXPECT_EQ(stream.error().empty(), row.kept) << total << ": " << stream.error();
      if (!row.kept) {
        EXPECT_EQ(stream.error(), "the object is larger than --max-object-size (1 MiB)");
      }
    }
    ::close(fd);
    if (row.kept) {
      EXPECT_EQ(ReadBytes(dir.File("object")).size(), total);
    }
  }
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

// --keep-failed-days: only regular files older than the cut-off go; a link,
// a folder or a hidden name of that age stays.
TEST(FailedPruning, RemovesOnlyOldRegularFiles) {
  TempDir dir;
  const std::string folder = dir.File("failed");
  ASSERT_EQ(::mkdir(folder.c_str(), 0750), 0);
  const long now = static_cast<long>(::time(nullptr)), cutoff = now - 86400;
  const struct {
    const char* name;
    char kind;  // f file, l link, d folder
    long age;   // seconds before now
    bool removed;
  } rows[] = {{"old.dcm", 'f', 90000, true},    {"old.reason", 'f', 86401, true},
              {"young.dcm", 'f', 86000, false}, {"link", 'l', 90000, false},
              {"folder", 'd', 90000, false},    {".hidden", 'f', 90000, false}};
  for (const auto& row : rows) {
    const std::string path = folder + "/" + row.name;
    if (row.kind == 'f') WriteBytes(path, "x");
    if (row.kind == 'l') {
      ASSERT_EQ(::symlink("/etc/hostname", path.c_str()), 0);
    }
    if (row.kind == 'd') {
      ASSERT_EQ(::mkdir(path.c_str(), 0750), 0);
    }
    const timeval times[2] = {{now - row.age, 0}, {now - row.age, 0}};
    ASSERT_EQ(::lutimes(path.c_str(), times), 0) << row.name;
  }
  EXPECT_EQ(RemoveFilesOlderThan(folder, cutoff), 2);
  for (const auto& row : rows) {
    struct stat info;
    EXPECT_EQ(::lstat((folder + "/" + row.name).c_str(), &info) != 0, row.removed) << row.name;
  }
}
