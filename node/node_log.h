// The node's log: the conversion log's JSON lines, one per received object,
// and lines about the node itself. Reopen (on SIGHUP) opens the file again
// by its name, so that logrotate can move it away.
#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "process/conversion_log.h"

// What the node writes for others to read (GSDs, the log, failed and kept
// objects) and the folders it makes for them, whatever the umask: the
// owner and the group the consumers join, no one else (names begin with
// the Patient ID).
constexpr int kNodeFilePermissions = 0640;
constexpr int kNodeFolderPermissions = 0750;

class NodeLog {
 public:
  // As ConversionLog::Open: path empty is stdout.
  bool Open(const std::string& path, std::string& error);
  // Opens the path again; on failure the log goes on in the file it had.
  bool Reopen(std::string& error);
  void Write(const ObjectLogEntry& entry);
  void Event(const std::string& event, const std::string& detail);

 private:
  std::mutex mutex_;
  std::string path_;
  std::unique_ptr<ConversionLog> log_;
};
