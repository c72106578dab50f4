// Helpers shared by the test suites: the fixture that starts each test from
// a fresh process's state, temporary folders, whole-file I/O, the generated
// DICOM inputs and child processes.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "core/gated_loader.h"
#include "core/header_scan.h"
#include "gsd/gsd_writer.h"

// A test that uses the stages in this process. What a load or a write takes
// and gives is the fixture's own, fresh for each test: the study (an empty
// record, zero frames), options (no question handler, so every question is
// answered No; the real decoder helper and its limit; no hook), the report,
// the writer's options and its reason.
class FreshStateTest : public testing::Test {
 protected:
  int Load(const std::string& path) { return LoadGatedStudy(path.c_str(), study, options, report); }
  // The header scan alone; found holds what it saw.
  std::int32_t Scan(const std::string& path);
  int Write(const std::string& path, bool baseToApex) {
    return WriteGsdFile(path.c_str(), study, baseToApex, writeError, output);
  }
  // A stand-in helper (absolute path) and its wall-clock limit; "" and 0 are
  // the real helper and limit.
  void UseDecoder(const std::string& helperPath, int timeoutSeconds);

  Study study;
  ScanFindings& found = study.found;  // of the last scan or load
  LoadOptions options;
  LoadReport report;
  OutputOptions output;
  std::string writeError;
};

// A fresh folder under /tmp, removed with its contents at destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }
  std::vector<std::string> Entries() const;

 private:
  std::string path_;
};

std::string ReadBytes(const std::string& path);
void WriteBytes(const std::string& path, const std::string& bytes);
bool FileExists(const std::string& path);

// A DICOM input written by tests/data/make_dicom.py.
std::string DataFile(const std::string& name);
// The 64 x 64 frames a correct load of that input leaves in the store.
std::vector<std::int16_t> ExpectedFrames(const std::string& name);

struct CommandResult {
  int exitCode;        // -1 when killed by a signal
  std::string output;  // stderr, then stdout: the same for every run of a command
  std::string standardOutput;
  std::string standardError;
};
// Runs command with sh -c.
CommandResult RunCommand(const std::string& command);
// The number of lines in text, a last one without its line feed included.
int LineCount(const std::string& text);
std::string ShellQuote(const std::string& text);

// Little-endian byte strings for crafted headers.
std::string Le16(std::uint16_t v);
std::string Le32(std::uint32_t v);
// 128-byte preamble and "DICM" followed by body.
std::string Part10(const std::string& body);
