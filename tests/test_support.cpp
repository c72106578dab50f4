#include "tests/test_support.h"

#ifdef _WIN32
#include <chrono>
#include <filesystem>
#include <random>

#include "platform/child_launcher.h"
#else
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "core/gated_loader.h"
#include "core/header_scan.h"
#include "gsd/gsd_writer.h"
#include "model/study.h"

std::int32_t FreshStateTest::Scan(const std::string& path) {
  LoadSession session(study, options, report);
  return ScanStudyHeader(path.c_str(), session);
}

void FreshStateTest::UseDecoder(const std::string& helperPath, int timeoutSeconds) {
  options.decoder.helperPath = helperPath;
  options.decoder.timeoutSeconds = timeoutSeconds;  // 0: the client's own limit
}

std::string ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

void WriteBytes(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

#ifdef _WIN32
// Windows (the suites under wine): the same services with the C++ library
// and the seam's launcher. A command is an argument vector with the quoting
// ShellQuote gives; it has no shell, so a test that needs one (a
// redirection, a pipe, a POSIX tool) is for Linux.

TempDir::TempDir() {
  namespace fs = std::filesystem;
  std::random_device random;
  const auto salt = std::chrono::steady_clock::now().time_since_epoch().count();
  for (int tries = 0; tries < 100 && path_.empty(); ++tries) {
    const fs::path candidate =
        fs::temp_directory_path() /
        ("dgc-test-" + std::to_string(random() ^ static_cast<unsigned>(salt + tries)));
    std::error_code error;
    if (fs::create_directory(candidate, error)) path_ = candidate.generic_u8string();
  }
  if (path_.empty()) throw std::runtime_error("no temporary folder");
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(std::filesystem::u8path(path_), ignored);
}

std::vector<std::string> TempDir::Entries() const {
  std::vector<std::string> names;
  std::error_code error;
  for (const auto& entry :
       std::filesystem::directory_iterator(std::filesystem::u8path(path_), error))
    names.push_back(entry.path().filename().u8string());
  return names;
}

bool FileExists(const std::string& path) {
  std::error_code error;
  return std::filesystem::exists(std::filesystem::u8path(path), error);
}

namespace {

// The words of a command as ShellQuote quotes them; false where the
// command needs a shell.
bool SplitWords(const std::string& command, std::vector<std::string>& words) {
  std::string word;
  bool inWord = false, quoted = false;
  for (char c : command) {
    if (quoted) {
      if (c == '\'') {
        quoted = false;
      } else {
        word += c;
      }
    } else if (c == '\'') {
      quoted = inWord = true;
    } else if (c == ' ' || c == '\t') {
      if (inWord) words.push_back(word);
      word.clear();
      inWord = false;
    } else if (std::string("|&;<>()$`\"*?").find(c) != std::string::npos) {
      return false;
    } else {
      word += c;
      inWord = true;
    }
  }
  if (inWord) words.push_back(word);
  return !quoted && !words.empty();
}

}  // namespace

CommandResult RunCommand(const std::string& command) {
  CommandResult result{-1, {}, {}, {}};
  ChildRun run;
  if (!SplitWords(command, run.argv)) {
    result.standardError = "needs a POSIX shell: " + command + "\n";
    result.output = result.standardError;
    return result;
  }
  // A program is named by its file: the .exe the build made.
  std::error_code error;
  if (!std::filesystem::exists(std::filesystem::u8path(run.argv[0]), error) &&
      std::filesystem::exists(std::filesystem::u8path(run.argv[0] + ".exe"), error))
    run.argv[0] += ".exe";
  TextSink output(std::size_t{64} << 20), errors(std::size_t{64} << 20);
  run.output = &output;
  run.errors = &errors;
  run.deadlineMilliseconds = 600000;
  const ChildEnd end = RunChildProgram(run);
  result.standardOutput = output.text();
  result.standardError = errors.text();
  result.output = result.standardError + result.standardOutput;
  if (end.startFailure == StartFailure::kNone && end.signal == 0) result.exitCode = end.exitCode;
  return result;
}

#else

TempDir::TempDir() {
  char pattern[] = "/tmp/dgc-test-XXXXXX";
  if (::mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::system(("rm -rf " + ShellQuote(path_)).c_str());
}

std::vector<std::string> TempDir::Entries() const {
  std::vector<std::string> names;
  if (DIR* dir = ::opendir(path_.c_str())) {
    while (dirent* entry = ::readdir(dir)) {
      std::string name = entry->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    ::closedir(dir);
  }
  return names;
}

bool FileExists(const std::string& path) {
  struct stat info;
  return ::stat(path.c_str(), &info) == 0;
}
#endif

std::string DataFile(const std::string& name) {
  return std::string(DGC_TEST_DATA) + "/" + name + ".dcm";
}

std::vector<std::int16_t> ExpectedFrames(const std::string& name) {
  std::string bytes = ReadBytes(std::string(DGC_TEST_DATA) + "/" + name + ".expected.raw");
  std::vector<std::int16_t> values(bytes.size() / 2);
  for (std::size_t i = 0; i < values.size(); ++i)
    values[i] = static_cast<std::int16_t>(static_cast<unsigned char>(bytes[2 * i]) |
                                          (static_cast<unsigned char>(bytes[2 * i + 1]) << 8));
  return values;
}

#ifndef _WIN32
CommandResult RunCommand(const std::string& command) {
  CommandResult result{-1, {}, {}, {}};
  int out[2], err[2];
  if (::pipe2(out, O_CLOEXEC) != 0) return result;
  if (::pipe2(err, O_CLOEXEC) != 0) {
    ::close(out[0]);
    ::close(out[1]);
    return result;
  }
  posix_spawn_file_actions_t actions;
  ::posix_spawn_file_actions_init(&actions);
  ::posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  ::posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
  const char* argv[] = {"sh", "-c", command.c_str(), nullptr};
  pid_t child = -1;
  const int spawned =
      ::posix_spawn(&child, "/bin/sh", &actions, nullptr, const_cast<char* const*>(argv), environ);
  ::posix_spawn_file_actions_destroy(&actions);
  ::close(out[1]);
  ::close(err[1]);
  // Both pipes drained as the child writes, so that neither fills and stops it.
  pollfd ends[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
  std::string* into[2] = {&result.standardOutput, &result.standardError};
  for (int reading = spawned == 0 ? 2 : 0; reading > 0;) {
    if (::poll(ends, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    for (int i = 0; i < 2; ++i) {
      if (ends[i].fd < 0 || ends[i].revents == 0) continue;
      char buffer[4096];
      const ssize_t n = ::read(ends[i].fd, buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        ::close(ends[i].fd);
        ends[i].fd = -1;
        --reading;
        continue;
      }
      into[i]->append(buffer, static_cast<std::size_t>(n));
    }
  }
  for (pollfd& end : ends)
    if (end.fd >= 0) ::close(end.fd);
  result.output = result.standardError + result.standardOutput;
  int status = 0;
  if (spawned == 0 && ::waitpid(child, &status, 0) == child && WIFEXITED(status))
    result.exitCode = WEXITSTATUS(status);
  return result;
}
#endif

int LineCount(const std::string& text) {
  const auto feeds = std::count(text.begin(), text.end(), '\n');
  return static_cast<int>(feeds) + (!text.empty() && text.back() != '\n' ? 1 : 0);
}

std::string ShellQuote(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

std::string Le16(std::uint16_t v) {
  return std::string{static_cast<char>(v & 0xFF), static_cast<char>(v >> 8)};
}

std::string Le32(std::uint32_t v) {
  return Le16(v & 0xFFFF) + Le16(v >> 16);
}

std::string Part10(const std::string& body) {
  return std::string(128, '\0') + "DICM" + body;
}
