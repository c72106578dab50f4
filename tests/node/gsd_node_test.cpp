// gsd-node end to end, with DCMTK's echoscu and storescu as the peer on
// 127.0.0.1: association rules, TLS with certificates openssl makes, the
// converter's bytes, a queue under load, duplicates, crashes in reception
// and in conversion, SIGTERM, a full spool.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <thread>

#include "node/node_log.h"
#include "node/node_options.h"
#include "node/object_info.h"
#include "node/spool.h"
#include "node/worker_pool.h"
#include "tests/node/node_process.h"
#include "tests/test_support.h"

namespace {

const std::string kNode = std::string(DGC_BINARY_DIR) + "/gsd-node";
const std::string kDicom2Gsd = std::string(DGC_BINARY_DIR) + "/dicom2gsd";
const std::string kScripts = std::string(DGC_SOURCE_DIR) + "/tests/node/";
const std::string kJpegLsStudy = std::string(DGC_TEST_DATA) + "/encoded/gated64.jpegls.dcm";

bool WaitUntil(const std::function<bool()>& done, int seconds) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

// Regular files (not links) in folder whose names end with suffix: name to
// size.
std::map<std::string, long long> Files(const std::string& folder, const std::string& suffix = "") {
  std::map<std::string, long long> files;
  if (DIR* dir = ::opendir(folder.c_str())) {
    while (const dirent* entry = ::readdir(dir)) {
      std::string name = entry->d_name;
      struct stat info;
      if (name.size() < suffix.size() ||
          name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0 ||
          ::lstat((folder + "/" + name).c_str(), &info) != 0 || !S_ISREG(info.st_mode))
        continue;
      files[name] = info.st_size;
    }
    ::closedir(dir);
  }
  return files;
}

// The permission bits of path itself (not through a link); -1 when absent.
int Mode(const std::string& path) {
  struct stat info;
  return ::lstat(path.c_str(), &info) == 0 ? static_cast<int>(info.st_mode & 07777) : -1;
}

int CompleteGsdFiles(const std::string& folder) {
  int count = 0;
  for (const auto& [name, size] : Files(folder, ".gsd")) count += size > 0;
  return count;
}

int Occurrences(const std::string& text, const std::string& what) {
  int count = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
    ++count;
  return count;
}

// COUNT copies of a DICOM file with new SOP Instance UIDs, made by pydicom.
std::vector<std::string> MakeStudies(const std::string& source, const std::string& prefix,
                                     int count, const std::string& modality = "") {
  CommandResult made =
      RunCommand("/usr/bin/python3 " + kScripts + "make_studies.py " + ShellQuote(source) + " " +
                 ShellQuote(prefix) + " " + std::to_string(count) + " " + modality);
  EXPECT_EQ(made.exitCode, 0) << made.output;
  std::vector<std::string> files;
  for (int i = 0; i < count; ++i) {
    char name[16];
    std::snprintf(name, sizeof name, "%03d.dcm", i);
    files.push_back(prefix + name);
  }
  return files;
}

class NodeTest : public testing::Test {
 protected:
  void SetUp() override {
    port_ = FreePort();
    ASSERT_GT(port_, 0);
  }

  std::string Spool() const { return dir_.File("spool"); }
  std::string Out() const { return dir_.File("out"); }
  std::string Log() const { return dir_.File("log.jsonl"); }
  std::string LogText() const { return FileExists(Log()) ? ReadBytes(Log()) : ""; }

  void StartNode(std::vector<std::string> extra = {}) {
    std::vector<std::string> argv = {program_,  "--port", std::to_string(port_),
                                     "--spool", Spool(),  "--out",
                                     Out(),     "--log",  Log()};
    argv.insert(argv.end(), extra.begin(), extra.end());
    std::string host = "127.0.0.1";
    for (std::size_t i = 0; i + 1 < extra.size(); ++i)
      if (extra[i] == "--bind") host = extra[i + 1];
    node_ = std::make_unique<ChildProgram>(argv, dir_.File("node.err"));
    ASSERT_TRUE(WaitForListener(port_, 20, host.c_str())) << ReadBytes(dir_.File("node.err"));
  }

  // From now on the node is a copy of gsd-node beside a stand-in dicom2gsd
  // (the node runs the one beside it): a shell script with this body.
  void UseStandInConverter(const std::string& body) {
    const std::string bin = dir_.File("bin");
    ::mkdir(bin.c_str(), 0755);
    program_ = bin + "/gsd-node";
    WriteBytes(program_, ReadBytes(kNode));
    WriteBytes(bin + "/dicom2gsd", "#!/bin/sh\n" + body);
    ASSERT_EQ(::chmod(program_.c_str(), 0755), 0);
    ASSERT_EQ(::chmod((bin + "/dicom2gsd").c_str(), 0755), 0);
  }

  CommandResult Send(const std::vector<std::string>& files, const std::string& options = "",
                     int port = 0) {
    std::string command = "timeout 120 storescu -aet TESTSCU -aec GSDNODE " + options +
                          " 127.0.0.1 " + std::to_string(port ? port : port_);
    for (const std::string& file : files) command += " " + ShellQuote(file);
    return RunCommand(command);
  }

  CommandResult Echo(const std::string& options, const std::string& host = "127.0.0.1") {
    return RunCommand("timeout 60 echoscu " + options + " " + host + " " + std::to_string(port_));
  }

  // A file of the keys and certificates openssl makes (make_certificates.py),
  // once per test.
  std::string Tls(const std::string& file) {
    const std::string folder = dir_.File("tls");
    if (!FileExists(folder + "/ca.crt")) {
      ::mkdir(folder.c_str(), 0700);
      CommandResult made =
          RunCommand("/usr/bin/python3 " + kScripts + "make_certificates.py " + ShellQuote(folder));
      EXPECT_EQ(made.exitCode, 0) << made.output;
    }
    return folder + "/" + file;
  }
  std::vector<std::string> NodeTls() {
    return {"--tls-key", Tls("node.key"), "--tls-cert", Tls("node.crt"), "--tls-ca", Tls("ca.crt")};
  }
  // storescu's and echoscu's options for a client with NAME's key and
  // certificate that trusts the node's authority.
  std::string ClientTls(const std::string& name) {
    return "+tls " + Tls(name + ".key") + " " + Tls(name + ".crt") + " +cf " + Tls("ca.crt");
  }

  TempDir dir_;
  std::string program_ = kNode;
  int port_ = 0;
  std::unique_ptr<ChildProgram> node_;
};

TEST_F(NodeTest, EchoThenRawAndJpegLsGiveTheConverterBytesAndCtIsKeptNotConverted) {
  StartNode({"--keep-other", dir_.File("other")});
  EXPECT_EQ(Echo("-aet TESTSCU -aec GSDNODE").exitCode, 0);
  std::string raw = MakeStudies(DataFile("gated64"), dir_.File("raw"), 1)[0];
  std::string jls = MakeStudies(kJpegLsStudy, dir_.File("jls"), 1)[0];
  std::string ct = MakeStudies(DataFile("gated64"), dir_.File("ct"), 1, "CT")[0];
  CommandResult sent = Send({raw, ct});
  ASSERT_EQ(sent.exitCode, 0) << sent.output;
  // As a PACS sends what it holds compressed: JPEG-LS proposed, and accepted.
  sent = Send({jls}, "--propose-jls-lossless");
  ASSERT_EQ(sent.exitCode, 0) << sent.output;
  // Offered JPEG-LS and uncompressed in one context, the node takes
  // uncompressed: storescu cannot compress, so a JPEG-LS choice would fail.
  sent = Send({raw}, "--propose-jls-lossless --combine");
  ASSERT_EQ(sent.exitCode, 0) << sent.output;
  ASSERT_TRUE(WaitUntil([&] { return CompleteGsdFiles(Out()) == 2; }, 60)) << LogText();

  for (const auto& [input, patient] : {std::pair{raw, "raw-0"}, std::pair{jls, "jls-0"}}) {
    std::string reference = dir_.File(std::string(patient) + ".reference.gsd");
    CommandResult converted = RunCommand(kDicom2Gsd + " " + input + " " + reference);
    ASSERT_EQ(converted.exitCode, 0) << converted.output;
    std::string nodeGsd;
    for (const auto& [name, size] : Files(Out(), ".gsd"))
      if (name.rfind(std::string(patient) + "_20010315_143005.000000_", 0) == 0) nodeGsd = name;
    ASSERT_FALSE(nodeGsd.empty()) << patient;
    EXPECT_EQ(ReadBytes(Out() + "/" + nodeGsd), ReadBytes(reference)) << patient;
  }
  // The log is complete once the node has stopped.
  EXPECT_EQ(node_->Stop(SIGTERM, 30), 0);
  std::string log = LogText();
  EXPECT_EQ(Occurrences(log, "\"outcome\":\"converted\""), 2) << log;
  EXPECT_EQ(Occurrences(log, "\"outcome\":\"duplicate\""), 1) << log;
  EXPECT_EQ(Occurrences(log, "\"modality\":\"CT\",\"outcome\":\"not-nm\""), 1) << log;
  EXPECT_EQ(Files(dir_.File("other"), ".dcm").size(), 1u);
  EXPECT_TRUE(Files(Out() + "/failed").empty());
}

TEST_F(NodeTest, AssociationRules) {
  const struct {
    const char* label;
    std::vector<std::string> nodeOptions;
    std::string echoOptions;
    bool accepted;
    const char* host = "127.0.0.1";  // where the peer asks
    const char* refusal = "Rejected";
  } rows[] = {
      {"right called AE", {}, "-aet ANY -aec GSDNODE", true},
      {"wrong called AE", {}, "-aet ANY -aec OTHERNODE", false},
      {"own AE title", {"--aet", "NUCMED1"}, "-aet ANY -aec NUCMED1", true},
      {"calling AE outside the list", {"--allow", "CAMERA"}, "-aet STRANGER -aec GSDNODE", false},
      {"calling AE in the list",
       {"--allow", "PACS", "--allow", "CAMERA"},
       "-aet CAMERA -aec GSDNODE",
       true},
      {"AE from its address", {"--allow", "CAMERA@127.0.0.1"}, "-aet CAMERA -aec GSDNODE", true},
      {"AE from another address",
       {"--allow", "CAMERA@192.0.2.7"},
       "-aet CAMERA -aec GSDNODE",
       false},
      // Both loopback addresses reach this host: only the bound one answers.
      {"bound address", {"--bind", "127.0.0.2"}, "-aet ANY -aec GSDNODE", true, "127.0.0.2"},
      {"another address of the host",
       {"--bind", "127.0.0.2"},
       "-aet ANY -aec GSDNODE",
       false,
       "127.0.0.1",
       "Connection refused"},
  };
  for (const auto& row : rows) {
    StartNode(row.nodeOptions);
    CommandResult echo = Echo(row.echoOptions, row.host);
    EXPECT_EQ(echo.exitCode == 0, row.accepted) << row.label << ": " << echo.output;
    if (!row.accepted) {
      EXPECT_NE(echo.output.find(row.refusal), std::string::npos) << echo.output;
    }
    EXPECT_EQ(node_->Stop(SIGTERM, 30), 0) << row.label;
  }
}

// Over TLS a client whose certificate the node's authority signed stores a
// study that converts to the converter's own bytes, as over plain TCP; one
// without TLS, without a certificate or with one another authority signed
// is refused in the handshake and logged (a port probe, which closes
// before its first byte, is not), and the node goes on serving. Its
// monitor's --check speaks TLS with the same options.
TEST_F(NodeTest, TlsAdmitsOnlyPeersTheNodesAuthoritySigned) {
  StartNode(NodeTls());
  const std::string study = MakeStudies(DataFile("gated64"), dir_.File("s"), 1)[0];
  const struct {
    const char* label;
    std::string options;
    const char* refusal;  // in the log; nullptr: stored
  } rows[] = {
      {"without TLS", "", "wrong version number"},
      {"without a certificate", "+tla +cf " + Tls("ca.crt"), "peer did not return a certificate"},
      {"signed by another authority",
       "+tls " + Tls("stranger.key") + " " + Tls("stranger.crt") + " +cf " + Tls("ca.crt"),
       "certificate verify failed"},
      {"signed by the node's authority", ClientTls("client"), nullptr},
  };
  for (const auto& row : rows) {
    CommandResult sent = Send({study}, row.options);
    EXPECT_EQ(sent.exitCode == 0, row.refusal == nullptr) << row.label << ": " << sent.output;
    if (row.refusal) {
      const std::string logged = std::string(": TLS handshake failed: TLS error: ") + row.refusal;
      EXPECT_TRUE(WaitUntil([&] { return Occurrences(LogText(), logged) == 1; }, 10))
          << row.label << ": " << LogText();
    }
  }
  ASSERT_TRUE(WaitUntil([&] { return CompleteGsdFiles(Out()) == 1; }, 60)) << LogText();
  const std::string reference = dir_.File("reference.gsd");
  ASSERT_EQ(RunCommand(kDicom2Gsd + " " + study + " " + reference).exitCode, 0);
  EXPECT_EQ(ReadBytes(Out() + "/" + Files(Out(), ".gsd").begin()->first), ReadBytes(reference));
  const std::string check = kNode + " --check 127.0.0.1 " + std::to_string(port_) +
                            " --acse-timeout 5 --tls-key " + Tls("client.key") + " --tls-cert " +
                            Tls("client.crt") + " --tls-ca " + Tls("ca.crt");
  EXPECT_EQ(RunCommand(check).exitCode, 0);
  EXPECT_EQ(node_->Stop(SIGTERM, 30), 0);
  const std::string log = LogText();
  EXPECT_EQ(Occurrences(log, "\"association refused\""), 3) << log;
  EXPECT_EQ(Occurrences(log, "\"outcome\":\"converted\""), 1) << log;
}

// Key, certificate and authority files the node cannot use stop it at
// start (exit 1), naming the option, the file and why.
TEST_F(NodeTest, TlsFilesThatCannotServeAreRefusedAtStart) {
  const std::string fifo = dir_.File("fifo.pem");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const std::string key = Tls("node.key"), cert = Tls("node.crt"), ca = Tls("ca.crt");
  const struct {
    std::string key, cert, ca;
    std::string refusal;
  } rows[] = {
      {Tls("absent.key"), cert, ca,
       "--tls-key " + Tls("absent.key") + ": cannot read it: No such file or directory"},
      {key, fifo, ca, "--tls-cert " + fifo + ": not a regular file"},
      {cert, cert, ca, "--tls-key " + cert + ": not a PEM private key ("},
      {Tls("locked.key"), cert, ca,
       "--tls-key " + Tls("locked.key") +
           ": the key is protected by a password, which the node cannot be given"},
      {key, key, ca, "--tls-cert " + key + ": not a PEM certificate ("},
      {Tls("client.key"), cert, ca,
       "--tls-key " + Tls("client.key") + " is not the private key of --tls-cert " + cert},
      {key, cert, key, "--tls-ca " + key + ": no PEM certificate in it ("},
  };
  for (const auto& row : rows) {
    CommandResult started =
        RunCommand("timeout 20 " + kNode + " --port " + std::to_string(port_) + " --spool " +
                   Spool() + " --out " + Out() + " --tls-key " + row.key + " --tls-cert " +
                   row.cert + " --tls-ca " + row.ca + " </dev/null");
    EXPECT_EQ(started.exitCode, 1) << row.refusal;
    EXPECT_NE(started.output.find("gsd-node: " + row.refusal), std::string::npos) << started.output;
  }
}

// Eight senders at once with the default options: every association is
// served and every study converted once.
TEST_F(NodeTest, EightAssociationsOfThirteenStudiesAreEachConvertedOnce) {
  StartNode({"--workers", "2"});
  const std::vector<std::string> prefixes = {"a", "b", "c", "d", "e", "f", "g", "h"};
  std::vector<std::vector<std::string>> batches;
  for (const std::string& prefix : prefixes)
    batches.push_back(MakeStudies(DataFile("gated64"), dir_.File(prefix), 13));
  std::vector<CommandResult> results(prefixes.size());
  std::vector<std::thread> senders;
  for (std::size_t i = 0; i < prefixes.size(); ++i)
    senders.emplace_back([&, i] { results[i] = Send(batches[i]); });
  for (std::thread& sender : senders) sender.join();
  for (const CommandResult& result : results) EXPECT_EQ(result.exitCode, 0) << result.output;
  ASSERT_TRUE(WaitUntil(
      [&] { return Files(Spool() + "/queue").empty() && CompleteGsdFiles(Out()) >= 104; }, 180))
      << CompleteGsdFiles(Out());
  EXPECT_EQ(node_->Stop(SIGTERM, 30), 0);
  EXPECT_EQ(Files(Out(), ".gsd").size(), 104u);
  EXPECT_EQ(Files(Spool() + "/done").size(), 104u);
  std::string log = LogText();
  EXPECT_EQ(Occurrences(log, "\"outcome\":\"converted\""), 104);
  for (const std::string& prefix : prefixes)
    for (int i = 0; i < 13; ++i)
      EXPECT_EQ(Occurrences(log, "\"patient_id\":\"" + prefix + "-" + std::to_string(i) + "\""), 1);
}

// Thousands of refused and of aborted associations: each is answered (or
// dropped), no thread outlives its association, and a store afterwards
// is served.
TEST_F(NodeTest, RefusedAndAbortedAssociationsLeaveNothingBehind) {
  StartNode();
  ASSERT_TRUE(WaitUntil([&] { return node_->Threads() > 0; }, 10));
  const int threads = node_->Threads();
  for (const char* mode : {"wrong-ae", "abort"}) {
    CommandResult peer = RunCommand("/usr/bin/python3 " + kScripts + "association_peer.py " +
                                    std::to_string(port_) + " " + mode + " 2000");
    EXPECT_EQ(peer.exitCode, 0) << mode << ": " << peer.output;
    ASSERT_TRUE(node_->Running()) << mode << ": " << ReadBytes(dir_.File("node.err"));
  }
  // Each association's thread is joined once it ends.
  EXPECT_TRUE(WaitUntil([&] { return node_->Threads() == threads; }, 10))
      << node_->Threads() << " threads, " << threads << " at the start";
  ASSERT_EQ(Send(MakeStudies(DataFile("gated64"), dir_.File("after"), 1)).exitCode, 0);
  ASSERT_TRUE(WaitUntil([&] { return CompleteGsdFiles(Out()) == 1; }, 60)) << LogText();
  EXPECT_EQ(node_->Stop(SIGTERM, 30), 0);
  EXPECT_EQ(Occurrences(LogText(), "\"association refused\""), 2000);
}

// Peers that hold a connection without finishing what they began: each is
// closed at its deadline (lowered here), a sender after it is served, and
// SIGTERM ends what is still held.
TEST_F(NodeTest, APeerThatHoldsItsConnectionIsClosedAtItsDeadline) {
  const struct {
    const char* mode;
    std::vector<std::string> nodeOptions;
    bool byStop;                // held until SIGTERM ends it
    const char* within = "60";  // the peer's patience, in seconds
    bool tls = false;           // the node and the echo speak TLS
  } rows[] = {
      {"silent", {"--acse-timeout", "2"}, false},
      // A TLS node waits for the handshake under the same deadlines.
      {"silent", {"--acse-timeout", "2"}, false, "60", true},
      {"silent", {}, false, "6", true},
      {"half", {"--acse-timeout", "2"}, false},
      // With the default deadline (10 s), a request that is not complete
      // after 2 s while the echo waits behind it is closed.
      {"half", {}, false, "6"},
      {"trickle", {"--dimse-timeout", "2"}, false},
      {"released", {}, false},
      {"idle", {}, true},
      {"trickle", {}, true},
  };
  for (const auto& row : rows) {
    std::vector<std::string> nodeOptions = row.nodeOptions;
    if (row.tls) {
      const std::vector<std::string> tls = NodeTls();
      nodeOptions.insert(nodeOptions.end(), tls.begin(), tls.end());
    }
    StartNode(nodeOptions);
    const std::string output = dir_.File(std::string("peer-") + row.mode);
    ::unlink(output.c_str());
    ChildProgram peer({"/usr/bin/python3", kScripts + "association_peer.py", std::to_string(port_),
                       row.mode, row.within},
                      output);
    ASSERT_TRUE(WaitUntil([&] { return FileExists(output) && !ReadBytes(output).empty(); }, 30))
        << row.mode;
    EXPECT_EQ(ReadBytes(output), "connected\n") << row.mode;
    CommandResult echo = Echo("-aet TESTSCU -aec GSDNODE " + (row.tls ? ClientTls("client") : ""));
    EXPECT_EQ(echo.exitCode, 0) << row.mode << ": " << echo.output;
    if (row.byStop) {
      EXPECT_TRUE(peer.Running()) << row.mode << ": closed before the stop";
      EXPECT_EQ(node_->Stop(SIGTERM, 30), 0) << row.mode;
    }
    // The peer's own exit: 0 once the node has closed its connection.
    EXPECT_EQ(peer.Stop(0, 60), 0) << row.mode << ": " << ReadBytes(output);
    if (!row.byStop) {
      EXPECT_EQ(node_->Stop(SIGTERM, 30), 0) << row.mode;
    }
  }
}

// logrotate moves the log away and sends SIGHUP: the node goes on in a new
// file by the same name, and says so there.
TEST_F(NodeTest, SighupOpensTheLogAgain) {
  StartNode();
  const std::string rotated = Log() + ".1";
  ASSERT_EQ(::rename(Log().c_str(), rotated.c_str()), 0);
  ASSERT_EQ(::kill(node_->Pid(), SIGHUP), 0);
  ASSERT_TRUE(
      WaitUntil([&] { return LogText().find("\"log reopened\"") != std::string::npos; }, 10));
  EXPECT_EQ(Echo("-aet TESTSCU -aec WRONG").exitCode == 0, false);
  EXPECT_EQ(node_->Stop(SIGTERM, 30), 0);
  const std::string log = LogText();
  EXPECT_NE(log.find("\"association refused\""), std::string::npos) << log;
  EXPECT_NE(log.find("\"stopped\""), std::string::npos) << log;
  EXPECT_EQ(Occurrences(ReadBytes(rotated), "\"event\""), 1) << ReadBytes(rotated);
}

// The monitor's check: 0 only while a node answers for that AE title.
// Where systemd runs it (NOTIFY_SOCKET, WATCHDOG_USEC), the node says it is
// ready once it listens, feeds the watchdog while its loop turns, and says
// it is stopping: datagrams to a socket of the test's.
TEST_F(NodeTest, TellsTheServiceManagerReadyAliveAndStopping) {
  const std::string path = dir_.File("notify");
  const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(fd, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  const timeval wait = {10, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
  auto next = [fd] {
    char buffer[512];
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : std::string();
  };
  ::setenv("NOTIFY_SOCKET", path.c_str(), 1);
  ::setenv("WATCHDOG_USEC", "400000", 1);
  StartNode();
  ::unsetenv("NOTIFY_SOCKET");
  ::unsetenv("WATCHDOG_USEC");
  EXPECT_EQ(next().rfind("READY=1\nSTATUS=listening: GSDNODE port ", 0), 0u);
  for (int beat = 0; beat < 2; ++beat) EXPECT_EQ(next(), "WATCHDOG=1") << beat;
  EXPECT_EQ(node_->Stop(SIGTERM, 30), 0);
  std::string said;
  for (std::string message; (message = next()) != "" && message != "STOPPING=1";) said = message;
  EXPECT_EQ(said.empty() || said == "WATCHDOG=1", true) << said;
  ::close(fd);
}

TEST_F(NodeTest, CheckAnswersForALiveNodeOnly) {
  auto check = [&](const std::string& options) {
    return RunCommand(kNode + " --check 127.0.0.1 " + std::to_string(port_) + " --acse-timeout 5 " +
                      options)
        .exitCode;
  };
  StartNode();
  EXPECT_EQ(check(""), 0);
  EXPECT_EQ(check("--aet OTHERNODE"), 1);
  EXPECT_EQ(node_->Stop(SIGTERM, 30), 0);
  EXPECT_EQ(check(""), 1);
}

TEST_F(NodeTest, ADuplicateIsAnsweredAndNotConvertedAgain) {
  StartNode();
  std::string study = MakeStudies(DataFile("gated64"), dir_.File("s"), 1)[0];
  ASSERT_EQ(Send({study, study}).exitCode, 0);
  ASSERT_TRUE(WaitUntil([&] { return CompleteGsdFiles(Out()) == 1; }, 60));
  ASSERT_TRUE(WaitUntil([&] { return Files(Spool() + "/queue").empty(); }, 60));
  // After its conversion, in an association of its own.
  ASSERT_EQ(Send({study}).exitCode, 0);
  EXPECT_EQ(node_->Stop(SIGTERM, 30), 0);
  EXPECT_EQ(Files(Out(), ".gsd").size(), 1u);
  std::string log = LogText();
  EXPECT_EQ(Occurrences(log, "\"outcome\":\"converted\""), 1) << log;
  EXPECT_EQ(Occurrences(log, "\"outcome\":\"duplicate\""), 2) << log;
}

// A SOP Instance UID sent again, while its first object is held in queue/
// (a converter that waits for a gate) and after it was converted: the same
// object is a duplicate, answered with success; other content is kept and
// converted under a name of its own, and the log line says why.
TEST_F(NodeTest, ARepeatedUidIsJudgedByItsContent) {
  const std::string gate = dir_.File("gate");
  UseStandInConverter("while [ ! -e " + gate + " ]; do sleep 0.05; done\nexec " + kDicom2Gsd +
                      " \"$@\"\n");
  StartNode();
  const std::string study = MakeStudies(DataFile("gated64"), dir_.File("s"), 1)[0];
  std::vector<std::string> others;
  for (const char* name : {"Other^First", "Other^Second"}) {
    others.push_back(dir_.File(std::string(name).substr(6) + ".dcm"));
    CommandResult made = RunCommand(
        "/usr/bin/python3 -c 'import pydicom, sys; d = pydicom.dcmread(sys.argv[1]); "
        "d.PatientName = sys.argv[3]; d.save_as(sys.argv[2], write_like_original=True)' " +
        ShellQuote(study) + " " + ShellQuote(others.back()) + " " + name);
    ASSERT_EQ(made.exitCode, 0) << made.output;
  }
  auto sendOne = [&](const std::string& file) {
    CommandResult sent = Send({file}, "-v");
    EXPECT_NE(sent.output.find("Received Store Response (Success)"), std::string::npos)
        << sent.output;
  };
  sendOne(study);
  ASSERT_TRUE(WaitUntil([&] { return !Files(Spool() + "/work").empty(); }, 30));
  sendOne(study);      // its twin is queued: a duplicate
  sendOne(others[0]);  // other content: queued beside it
  EXPECT_EQ(Occurrences(LogText(), "\"outcome\":\"duplicate\""), 1) << LogText();
  WriteBytes(gate, "");
  ASSERT_TRUE(WaitUntil([&] { return CompleteGsdFiles(Out()) == 2; }, 60)) << LogText();
  ASSERT_TRUE(WaitUntil([&] { return Files(Spool() + "/queue").empty(); }, 60));
  sendOne(study);      // converted before: a duplicate
  sendOne(others[0]);  // converted before as an object of its own: a duplicate
  sendOne(others[1]);  // a third content
  ASSERT_TRUE(WaitUntil([&] { return CompleteGsdFiles(Out()) == 3; }, 60)) << LogText();
  EXPECT_EQ(node_->Stop(SIGTERM, 30), 0);
  const std::string log = LogText();
  EXPECT_EQ(Occurrences(log, "\"outcome\":\"converted\""), 3) << log;
  EXPECT_EQ(Occurrences(log, "\"outcome\":\"duplicate\""), 3) << log;
  EXPECT_EQ(Occurrences(log, "other content was received before"), 2) << log;
  std::map<std::string, long long> gsds = Files(Out(), ".gsd");
  std::string first = gsds.begin()->first;
  for (const auto& [name, size] : gsds)
    if (name.size() < first.size()) first = name;
  first = first.substr(0, first.size() - 4);
  EXPECT_EQ(gsds.count(first + "-1.gsd") + gsds.count(first + "-2.gsd"), 2u) << first;
  EXPECT_TRUE(Files(Out() + "/failed").empty());
}

// A converter that ends well without writing the GSD has failed; one that
// cannot write the output (a full disk) leaves the study queued, and it is
// converted once when the output takes it.
TEST_F(NodeTest, AConverterThatWritesNothingFailsAndAFailedWriteIsTriedAgain) {
  const std::string once = dir_.File("failed-once");
  const struct {
    const char* label;
    std::string body;     // the stand-in dicom2gsd
    const char* reason;   // in failed/; nullptr: converted
    const char* outcome;  // the log's one line of this outcome
  } rows[] = {
      {"ends well, writes nothing", "exit 0\n", "dicom2gsd wrote nothing\n", "failed"},
      {"the output's disk is full once",
       "prev=; for a; do [ \"$prev\" = --outcome-fd ] && fd=$a; prev=$a; out=$a; done\n"
       "if [ ! -e " +
           once + " ]; then : > " + once +
           "\n"
           "  printf '{\"status\":1,\"kind\":\"failed\",\"reason\":\"%s: cannot write: No space "
           "left "
           "on device\",\"warnings\":[],\"output\":\"\"}\\n' \"$out\" >&\"$fd\"\n"
           "  exit 1\nfi\nexec " +
           kDicom2Gsd + " \"$@\"\n",
       nullptr, "error"},
  };
  for (const auto& row : rows) {
    UseStandInConverter(row.body);
    StartNode();
    ASSERT_EQ(Send(MakeStudies(DataFile("gated64"), dir_.File("n"), 1)).exitCode, 0);
    const std::string failed = Out() + "/failed";
    ASSERT_TRUE(WaitUntil(
        [&] {
          return row.reason ? Files(failed, ".reason").size() == 1 : CompleteGsdFiles(Out()) == 1;
        },
        60))
        << row.label << ": " << LogText();
    EXPECT_EQ(node_->Stop(SIGTERM, 30), 0);
    EXPECT_EQ(Occurrences(LogText(), std::string("\"outcome\":\"") + row.outcome + "\""), 1)
        << row.label << ": " << LogText();
    EXPECT_TRUE(Files(Spool() + "/queue").empty()) << row.label;
    EXPECT_TRUE(Files(Spool() + "/work").empty()) << row.label;
    if (row.reason) {
      EXPECT_EQ(ReadBytes(failed + "/" + Files(failed, ".reason").begin()->first), row.reason);
      EXPECT_EQ(Files(failed, ".dcm").size(), 1u);
      EXPECT_TRUE(Files(Out(), ".gsd").empty());
    } else {
      EXPECT_TRUE(Files(failed).empty()) << row.label;
      EXPECT_EQ(Files(Out(), ".gsd").size(), 1u) << row.label;
      EXPECT_EQ(Occurrences(LogText(), "\"outcome\":\"converted\""), 1) << LogText();
    }
    for (const std::string& folder : {failed, Spool() + "/done"})
      for (const auto& [name, size] : Files(folder)) ::unlink((folder + "/" + name).c_str());
    ::unlink(Log().c_str());
  }
}

// A study the converter cannot read goes to failed/ with its message; one it
// declines by rule (projections) is logged with the option that converts
// it, and dropped, or kept under --keep-declined: failed/ holds failures only.
// Under umask 0022 what the node writes is 0640 and the folders it makes
// 0750, kept copies too when they cross to another file system (a tmpfs,
// where root may mount one).
TEST_F(NodeTest, FailedStudiesGoToFailedAndDeclinedOnesAreDroppedOrKept) {
  const std::string tomo = MakeStudies(DataFile("type_gated_tomo"), dir_.File("tomo"), 1)[0];
  const std::string empty = MakeStudies(DataFile("frames0"), dir_.File("empty"), 1)[0];
  const std::string failed = Out() + "/failed", declined = dir_.File("declined");
  const mode_t umask = ::umask(022);
  struct Restore {
    mode_t umask;
    std::string mounted;
    ~Restore() {
      ::umask(umask);
      if (!mounted.empty()) ::umount2(mounted.c_str(), MNT_DETACH);
    }
  } restore{umask, ""};
  ::mkdir(declined.c_str(), 0750);
  if (::geteuid() == 0 && ::mount("tmpfs", declined.c_str(), "tmpfs", 0, "size=4m,mode=0750") == 0)
    restore.mounted = declined;
  for (bool keep : {false, true}) {
    const std::string label = keep ? "kept" : "dropped";
    StartNode(keep ? std::vector<std::string>{"--keep-declined", declined}
                   : std::vector<std::string>{});
    ASSERT_EQ(Send({tomo, empty}).exitCode, 0) << label;
    ASSERT_TRUE(WaitUntil([&] { return Occurrences(LogText(), "\"outcome\":") == 2; }, 60))
        << LogText();
    EXPECT_EQ(node_->Stop(SIGTERM, 30), 0);
    EXPECT_TRUE(Files(Out(), ".gsd").empty()) << "a placeholder was left";
    EXPECT_TRUE(Files(Spool() + "/queue").empty()) << label;
    // The failure, in failed/ with its reason.
    EXPECT_EQ(Files(failed).size(), 2u) << label;
    for (const auto& [name, size] : Files(failed, ".reason")) {
      EXPECT_EQ(name.rfind("empty-0_", 0), 0u) << name;
      EXPECT_NE(ReadBytes(failed + "/" + name).find("dicom2gsd: "), std::string::npos);
    }
    const std::string log = LogText();
    EXPECT_EQ(Occurrences(log, "\"outcome\":\"failed\""), 1) << log;
    EXPECT_EQ(Occurrences(log, "\"outcome\":\"declined\""), 1) << log;
    EXPECT_NE(log.find("(--accept-projections converts it)"), std::string::npos) << log;
    EXPECT_EQ(Files(declined, ".dcm").size(), keep ? 1u : 0u) << label;
    EXPECT_EQ(Files(declined, ".reason").size(), keep ? 1u : 0u) << label;
    for (const std::string& folder : {failed, declined})
      for (const auto& [name, size] : Files(folder))
        EXPECT_EQ(Mode(folder + "/" + name), 0640) << folder << "/" << name;
    EXPECT_EQ(Mode(Log()), 0640) << label;
    for (const std::string& folder : {Out(), failed}) EXPECT_EQ(Mode(folder), 0750) << folder;
    for (const std::string& folder : {failed, Spool() + "/done"})
      for (const auto& [name, size] : Files(folder)) ::unlink((folder + "/" + name).c_str());
    ::unlink(Log().c_str());
  }

  // Neither is marked converted: sent again, with the option, it is. What
  // failed/ held for longer than --keep-failed-days goes at the start.
  WriteBytes(failed + "/old.dcm", "x");
  WriteBytes(failed + "/young.reason", "x");
  const timespec old[2] = {{::time(nullptr) - 3 * 86400, 0}, {::time(nullptr) - 3 * 86400, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, (failed + "/old.dcm").c_str(), old, 0), 0);
  StartNode({"--accept-projections", "--keep-failed-days", "2"});
  EXPECT_FALSE(FileExists(failed + "/old.dcm"));
  EXPECT_TRUE(FileExists(failed + "/young.reason"));
  ASSERT_EQ(Send({tomo}).exitCode, 0);
  ASSERT_TRUE(WaitUntil([&] { return CompleteGsdFiles(Out()) == 1; }, 60)) << LogText();
  EXPECT_EQ(node_->Stop(SIGTERM, 30), 0);
  EXPECT_EQ(Mode(Out() + "/" + Files(Out(), ".gsd").begin()->first), 0640);
}

TEST_F(NodeTest, NamesNeverReplaceOrFollowWhatIsThere) {
  // What another program left under the names the template gives.
  ::mkdir(Out().c_str(), 0755);
  WriteBytes(Out() + "/20010315.gsd", "mine");
  WriteBytes(dir_.File("target"), "not to be written");
  ASSERT_EQ(::symlink(dir_.File("target").c_str(), (Out() + "/20010315-2.gsd").c_str()), 0);
  StartNode({"--name", "%d.gsd"});
  ASSERT_EQ(Send(MakeStudies(DataFile("gated64"), dir_.File("n"), 2)).exitCode, 0);
  ASSERT_TRUE(WaitUntil([&] { return CompleteGsdFiles(Out()) == 3; }, 60));
  EXPECT_EQ(node_->Stop(SIGTERM, 30), 0);
  EXPECT_EQ(ReadBytes(Out() + "/20010315.gsd"), "mine");
  EXPECT_EQ(ReadBytes(dir_.File("target")), "not to be written");
  EXPECT_GT(Files(Out(), ".gsd")["20010315-1.gsd"], 0);
  EXPECT_GT(Files(Out(), ".gsd")["20010315-3.gsd"], 0);
}

TEST_F(NodeTest, AnObjectAboveTheSizeLimitIsRefusedAndTheAssociationGoesOn) {
  StartNode({"--max-object-size", "1"});
  std::string big = MakeStudies(DataFile("gated128_16x64"), dir_.File("big"), 1)[0];
  std::string small = MakeStudies(DataFile("gated64"), dir_.File("small"), 1)[0];
  CommandResult sent = Send({big, small}, "-v --no-halt");
  EXPECT_EQ(Occurrences(sent.output, "Received Store Response (Refused: OutOfResources)"), 1)
      << sent.output;
  EXPECT_EQ(Occurrences(sent.output, "Received Store Response (Success)"), 1) << sent.output;
  ASSERT_TRUE(WaitUntil([&] { return CompleteGsdFiles(Out()) == 1; }, 60));
  EXPECT_EQ(node_->Stop(SIGTERM, 30), 0);
  EXPECT_TRUE(Files(Spool() + "/incoming").empty());
  EXPECT_NE(LogText().find("larger than --max-object-size (1 MiB)"), std::string::npos);
}

TEST_F(NodeTest, KilledDuringReceptionNothingPartialIsConverted) {
  StartNode();
  std::string study = MakeStudies(DataFile("gated64"), dir_.File("s"), 1)[0];
  // A relay that passes the object on at 64 KiB/s: about four seconds.
  std::string portFile = dir_.File("relay.port");
  ChildProgram relay(
      {"/usr/bin/python3", kScripts + "slow_proxy.py", portFile, std::to_string(port_), "65536"},
      dir_.File("relay.err"));
  ASSERT_TRUE(WaitUntil([&] { return FileExists(portFile); }, 20));
  int relayPort = std::stoi(ReadBytes(portFile));
  std::thread sender([&] { Send({study}, "", relayPort); });
  bool partial = WaitUntil(
      [&] {
        auto incoming = Files(Spool() + "/incoming");
        return !incoming.empty() && incoming.begin()->second > 4096;
      },
      30);
  node_->Stop(SIGKILL, 10);
  sender.join();
  ASSERT_TRUE(partial) << "the reception was never seen under way";
  ASSERT_FALSE(Files(Spool() + "/incoming").empty());

  StartNode();
  EXPECT_TRUE(Files(Spool() + "/incoming").empty());
  EXPECT_TRUE(Files(Spool() + "/queue").empty());
  // The study itself was never answered, so it converts when sent again.
  ASSERT_EQ(Send({study}).exitCode, 0);
  ASSERT_TRUE(WaitUntil([&] { return CompleteGsdFiles(Out()) == 1; }, 60));
  EXPECT_EQ(node_->Stop(SIGTERM, 30), 0);
  EXPECT_EQ(Files(Out(), ".gsd").size(), 1u);
  EXPECT_TRUE(Files(Out() + "/failed").empty());
}

TEST_F(NodeTest, KilledDuringConversionEachStudyIsConvertedOnceAfterRestart) {
  // A hook that takes its time after each GSD keeps the one worker behind
  // the reception, so that the kill finds conversions queued and under way.
  std::string hook = dir_.File("slow_hook.py");
  WriteBytes(hook, "import time\ntime.sleep(0.2)\n");
  StartNode({"--on-gsd", "/usr/bin/python3 " + hook});
  std::vector<std::string> studies = MakeStudies(DataFile("gated64"), dir_.File("k"), 30);
  CommandResult sent;
  std::thread sender([&] { sent = Send(studies, "-v"); });
  // Killed once a GSD is written and more wait in the queue.
  bool converting = WaitUntil(
      [&] { return CompleteGsdFiles(Out()) > 0 && Files(Spool() + "/queue").size() >= 2; }, 60);
  node_->Stop(SIGKILL, 10);
  sender.join();
  ASSERT_TRUE(converting);
  ASSERT_FALSE(Files(Spool() + "/queue").empty()) << "nothing was left to convert";

  StartNode();
  ASSERT_TRUE(WaitUntil([&] { return Files(Spool() + "/queue").empty(); }, 120));
  EXPECT_EQ(node_->Stop(SIGTERM, 30), 0);
  // Every study the node answered with success has exactly one GSD; one it
  // stored but could not answer may have one too, never two.
  std::map<std::string, int> gsdPerStudy;
  for (const auto& [name, size] : Files(Out(), ".gsd")) {
    EXPECT_GT(size, 0) << name;
    ++gsdPerStudy[name.substr(0, name.find('_'))];
  }
  for (int i = 0; i < 30; ++i) {
    char file[16];
    std::snprintf(file, sizeof file, "k%03d.dcm", i);
    std::size_t at = sent.output.find(std::string(file) + "\n");
    std::size_t response =
        at == std::string::npos ? at : sent.output.find("Received Store Response", at);
    bool answered = response != std::string::npos &&
                    sent.output.compare(response, 33, "Received Store Response (Success)") == 0;
    int count = gsdPerStudy["k-" + std::to_string(i)];
    if (answered) {
      EXPECT_EQ(count, 1) << file;
    } else {
      EXPECT_LE(count, 1) << file;
    }
  }
}

// The states a crash (or a planted file) can leave a conversion in, set up
// by hand: the node finishes each without a second GSD and never touches a
// file outside the output folder.
TEST_F(NodeTest, RestartFinishesAnInterruptedConversionOnce) {
  const struct {
    const char* label;
    const char* marker;       // what work/ names as the conversion's output
    const char* outputBytes;  // what the crash left under out/reserved.gsd; nullptr: none
    bool done;                // the done marker was written too
    const char* outcome;      // the one log line
    bool kept;                // out/reserved.gsd is left as it was
  } rows[] = {
      {"placeholder still empty", "reserved.gsd", "", false, "converted", false},
      {"GSD complete, not yet marked done", "reserved.gsd", "earlier GSD", false, "converted",
       true},
      {"done, still queued and in work/", "reserved.gsd", "earlier GSD", true, "duplicate", true},
      {"a marker that leads out of the output folder", "../victim", nullptr, false, "converted",
       false},
  };
  for (const auto& row : rows) {
    TempDir dir;
    std::string study = MakeStudies(DataFile("gated64"), dir.File("r"), 1)[0];
    ObjectInfo info;
    ASSERT_TRUE(ReadObjectInfo(study, info));
    const std::string key = UidKey(info.sopInstanceUid);
    const std::string spool = dir.File("spool"), out = dir.File("out");
    for (const std::string& folder :
         {spool, spool + "/queue", spool + "/work", spool + "/done", out})
      ::mkdir(folder.c_str(), 0700);
    WriteBytes(spool + "/queue/" + key + ".dcm", ReadBytes(study));
    WriteBytes(spool + "/work/" + key, row.marker);
    if (row.outputBytes) WriteBytes(out + "/reserved.gsd", row.outputBytes);
    if (row.done) WriteBytes(spool + "/done/" + key, ObjectContentHash(study));
    // An empty file where the marker leads: removing it as a placeholder
    // would reach outside the output folder.
    WriteBytes(dir.File("victim"), "");

    ChildProgram node({kNode, "--port", std::to_string(port_), "--spool", spool, "--out", out,
                       "--log", dir.File("log")},
                      dir.File("err"));
    ASSERT_TRUE(WaitForListener(port_, 20));
    ASSERT_TRUE(WaitUntil([&] { return Files(spool + "/queue").empty(); }, 60)) << row.label;
    EXPECT_EQ(node.Stop(SIGTERM, 30), 0);
    EXPECT_EQ(Files(out, ".gsd").size(), 1u) << row.label;
    EXPECT_EQ(CompleteGsdFiles(out), 1) << row.label;
    const std::string log = ReadBytes(dir.File("log"));
    EXPECT_EQ(Occurrences(log, "\"outcome\":"), 1) << row.label << ": " << log;
    EXPECT_EQ(Occurrences(log, std::string("\"outcome\":\"") + row.outcome + "\""), 1)
        << row.label << ": " << log;
    // An empty placeholder is given up and the study converted under a
    // fresh name; a complete file is kept as it is.
    if (row.kept)
      EXPECT_EQ(ReadBytes(out + "/reserved.gsd"), row.outputBytes) << row.label;
    else
      EXPECT_FALSE(FileExists(out + "/reserved.gsd")) << row.label;
    EXPECT_TRUE(FileExists(dir.File("victim"))) << row.label;
    EXPECT_TRUE(FileExists(spool + "/done/" + key)) << row.label;
    EXPECT_TRUE(Files(spool + "/work").empty()) << row.label;
  }
}

// A crash right after the done marker, at each of its last steps (a fault
// in the spool's step seam ends the process there): the next start writes
// the "converted" line and runs --on-gsd once, and leaves no marker behind;
// a start after that does neither again.
TEST(NodeRestart, ACrashAfterTheDoneMarkerIsFinishedOnce) {
  const struct {
    const char* label;
    OutputStep crashAfter;
  } rows[] = {{"after the done marker's rename", OutputStep::kRename},
              {"after the done folder's sync", OutputStep::kFolderSync}};
  for (const auto& row : rows) {
    TempDir dir;
    std::string study = MakeStudies(DataFile("gated64"), dir.File("c"), 1)[0];
    ObjectInfo info;
    ASSERT_TRUE(ReadObjectInfo(study, info));
    const std::string key = UidKey(info.sopInstanceUid), hookLog = dir.File("hook.log");
    NodeOptions options;
    options.spool = dir.File("spool");
    options.out = dir.File("out");
    options.onGsd = {"/bin/sh", "-c", "echo \"$0\" >> " + hookLog};
    ::mkdir(options.out.c_str(), 0750);
    ::mkdir(options.spool.c_str(), 0700);
    const std::string done = options.spool + "/done/" + key;

    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      Spool spool([&](OutputStep step, const std::function<int()>& run) {
        const int result = run();
        struct stat marked;
        if (step == row.crashAfter && ::stat(done.c_str(), &marked) == 0) ::_exit(70);
        return result;
      });
      std::string error;
      NodeLog log;
      if (!spool.Open(options.spool, error) || !log.Open(dir.File("log"), error)) ::_exit(1);
      WriteBytes(spool.QueuedPath(key), ReadBytes(study));
      WorkerPool pool(options, kDicom2Gsd, spool, log);
      pool.Start();
      pool.Push({key, "", "", -1, 0, ""});
      std::this_thread::sleep_for(std::chrono::seconds(60));
      ::_exit(2);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 70) << row.label << ": " << status;
    ASSERT_TRUE(FileExists(done)) << row.label;
    EXPECT_FALSE(FileExists(hookLog)) << row.label;

    for (int start = 0; start < 2; ++start) {
      Spool spool;
      NodeLog log;
      std::string error;
      ASSERT_TRUE(spool.Open(options.spool, error)) << error;
      ASSERT_TRUE(log.Open(dir.File("log"), error)) << error;
      WorkerPool pool(options, kDicom2Gsd, spool, log);
      pool.Start();
      for (const std::string& queued : spool.QueuedKeys()) pool.Push({queued, "", "", -1, 0, ""});
      pool.Stop();
    }
    const std::string log = ReadBytes(dir.File("log"));
    EXPECT_EQ(Occurrences(log, "\"outcome\":"), 1) << row.label << ": " << log;
    EXPECT_EQ(Occurrences(log, "\"outcome\":\"converted\""), 1) << row.label << ": " << log;
    ASSERT_EQ(CompleteGsdFiles(options.out), 1) << row.label;
    const std::string gsd = options.out + "/" + Files(options.out, ".gsd").begin()->first;
    EXPECT_EQ(ReadBytes(hookLog), gsd + "\n") << row.label;
    for (const char* folder : {"/queue", "/work", "/finish"})
      EXPECT_TRUE(Files(options.spool + folder).empty()) << row.label << folder;
  }
}

TEST_F(NodeTest, SigtermStopsAcceptingAndTheNextStartConvertsTheRest) {
  std::string hook = dir_.File("hook.py"), hookLog = dir_.File("hook.log");
  WriteBytes(hook, "import sys\nopen(sys.argv[1], 'a').write(sys.argv[2] + '\\n')\n");
  std::vector<std::string> withHook = {"--on-gsd", "/usr/bin/python3 " + hook + " " + hookLog};
  StartNode(withHook);
  std::vector<std::string> studies = MakeStudies(DataFile("gated64"), dir_.File("t"), 10);
  ASSERT_EQ(Send(studies).exitCode, 0);
  EXPECT_EQ(node_->Stop(SIGTERM, 60), 0);
  EXPECT_NE(Echo("-aet TESTSCU -aec GSDNODE").exitCode, 0);
  // No conversion is cut short: every GSD there is complete.
  for (const auto& [name, size] : Files(Out(), ".gsd")) EXPECT_GT(size, 0) << name;
  StartNode(withHook);
  ASSERT_TRUE(WaitUntil([&] { return CompleteGsdFiles(Out()) == 10; }, 60));
  ASSERT_TRUE(
      WaitUntil([&] { return FileExists(hookLog) && LineCount(ReadBytes(hookLog)) == 10; }, 30));
  EXPECT_EQ(node_->Stop(SIGTERM, 30), 0);
  for (const auto& [name, size] : Files(Out(), ".gsd"))
    EXPECT_EQ(Occurrences(ReadBytes(hookLog), Out() + "/" + name + "\n"), 1) << name;
}

TEST_F(NodeTest, AFullSpoolAnswersA700AndLosesNothingReceivedBefore) {
  if (::geteuid() != 0) GTEST_SKIP() << "mounting a small tmpfs needs root";
  ::mkdir(Spool().c_str(), 0700);
  if (::mount("tmpfs", Spool().c_str(), "tmpfs", 0, "size=1m,mode=0700") != 0)
    GTEST_SKIP() << "cannot mount a tmpfs here: " << std::strerror(errno);
  struct Unmount {
    std::string path;
    ~Unmount() { ::umount2(path.c_str(), MNT_DETACH); }
  } unmount{Spool()};
  StartNode();
  std::vector<std::string> studies = MakeStudies(DataFile("gated64"), dir_.File("f"), 2);
  ASSERT_EQ(Send({studies[0]}).exitCode, 0);
  ASSERT_TRUE(WaitUntil(
      [&] { return CompleteGsdFiles(Out()) == 1 && Files(Spool() + "/queue").empty(); }, 60));
  // Fill the spool, then free less than one study.
  std::string filler = Spool() + "/filler";
  int fd = ::open(filler.c_str(), O_WRONLY | O_CREAT, 0600);
  std::string block(4096, 'x');
  while (::write(fd, block.data(), block.size()) > 0) {
  }
  off_t size = ::lseek(fd, 0, SEEK_END);
  ASSERT_EQ(::ftruncate(fd, size - 64 * 1024), 0);
  ::close(fd);

  CommandResult refused = Send({studies[1]}, "-v");
  EXPECT_NE(refused.output.find("Refused: OutOfResources"), std::string::npos) << refused.output;
  EXPECT_TRUE(Files(Spool() + "/incoming").empty());
  EXPECT_TRUE(Files(Spool() + "/queue").empty());
  EXPECT_EQ(CompleteGsdFiles(Out()), 1);

  ::unlink(filler.c_str());
  ASSERT_EQ(Send({studies[1]}).exitCode, 0);
  ASSERT_TRUE(WaitUntil([&] { return CompleteGsdFiles(Out()) == 2; }, 60));
  EXPECT_EQ(node_->Stop(SIGTERM, 30), 0);
  EXPECT_EQ(Occurrences(LogText(), "\"outcome\":\"refused\""), 1) << LogText();
}

TEST_F(NodeTest, AFullOutputFolderIsTriedAgainWithoutARestart) {
  if (::geteuid() != 0) GTEST_SKIP() << "mounting a small tmpfs needs root";
  ::mkdir(Out().c_str(), 0755);
  if (::mount("tmpfs", Out().c_str(), "tmpfs", 0, "size=4m,nr_inodes=16") != 0)
    GTEST_SKIP() << "cannot mount a tmpfs here: " << std::strerror(errno);
  struct Unmount {
    std::string path;
    ~Unmount() { ::umount2(path.c_str(), MNT_DETACH); }
  } unmount{Out()};
  StartNode();
  // No inode left for the output's name.
  std::vector<std::string> fillers;
  for (int i = 0; i < 64; ++i) {
    std::string filler = Out() + "/filler" + std::to_string(i);
    int fd = ::open(filler.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
    if (fd < 0) break;
    ::close(fd);
    fillers.push_back(filler);
  }
  ASSERT_EQ(Send(MakeStudies(DataFile("gated64"), dir_.File("o"), 1)).exitCode, 0);
  ASSERT_TRUE(
      WaitUntil([&] { return LogText().find("\"outcome\":\"error\"") != std::string::npos; }, 30));
  for (const std::string& filler : fillers) ::unlink(filler.c_str());
  ASSERT_TRUE(WaitUntil([&] { return CompleteGsdFiles(Out()) == 1; }, 30)) << LogText();
  EXPECT_EQ(node_->Stop(SIGTERM, 30), 0);
  EXPECT_TRUE(Files(Spool() + "/queue").empty());
}

}  // namespace
