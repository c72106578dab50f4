// Helpers shared by the test suites: temporary folders, whole-file I/O, the
// generated DICOM inputs and child processes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

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
  std::string output;  // stdout and stderr together
};
CommandResult RunCommand(const std::string& command);
std::string ShellQuote(const std::string& text);

// Little-endian byte strings for crafted headers.
std::string Le16(std::uint16_t v);
std::string Le32(std::uint32_t v);
// 128-byte preamble and "DICM" followed by body.
std::string Part10(const std::string& body);
