// The conversion log of the node and of dicom2gsd's folder mode: one JSON
// object per line and per object converted, written whole under a lock so
// that lines of several threads never interleave.
#pragma once

#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

struct ObjectLogEntry {
  std::string input;  // the DICOM file, when the log names it (left out when empty)
  std::string callingAe, peer, sopInstanceUid, patientId, modality;
  std::string outcome;  // converted, failed, short, no-memory, duplicate, not-nm, refused
  std::vector<std::string> warnings;
  std::string output;                     // the GSD, the kept or failed object; empty when none
  std::string message;                    // why, when it failed or was refused
  double receiveMs = -1, convertMs = -1;  // -1: not measured (left out)
  // The gating, where the folder mode knows it (left out otherwise): the
  // share of beats kept in whole per cent (-1: the header does not say),
  // the gate (1-based, 0: none measured) farthest from the mean of all gates
  // and its per cent, and why the gating looks irregular (empty: it does not).
  int beatsKeptPercent = -1;
  int worstGate = 0, worstGatePercent = 0;
  std::string gating;
};

// The JSON text of value, quoted: valid UTF-8 as it is, controls (C0, DEL,
// C1) as \u00XX, and each byte that is not UTF-8 as \udcXX (Python's
// surrogateescape), so that a hostile value cannot break the line and every
// path reads back as the bytes it was.
std::string JsonString(const std::string& value);
// One log line, without its line feed.
std::string FormatLogLine(const ObjectLogEntry& entry, const std::string& time);

class ConversionLog {
 public:
  // Appends to path, or writes to stdout when path is empty. False with the
  // reason in error when the file cannot be opened, or may not be: the path
  // is walked with the output's rules for folders everybody may write.
  // permissions >= 0: a regular file of this user's gets exactly those,
  // whatever the umask (the node's log: not for every local user to read).
  bool Open(const std::string& path, std::string& error, int permissions = -1);
  ~ConversionLog();
  void Write(const ObjectLogEntry& entry);
  // A line about the program itself (start, stop), also JSON.
  void Event(const std::string& event, const std::string& detail);

 private:
  void WriteLine(const std::string& line);
  std::mutex mutex_;
  std::FILE* file_ = nullptr;
  bool owned_ = false;
};

// Now as ISO 8601 UTC with milliseconds.
std::string UtcNow();
