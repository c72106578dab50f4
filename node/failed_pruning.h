// --keep-failed-days: what failed/ holds (the objects and their reasons)
// goes once it is that many days old, checked at start and once a day.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "node/node_log.h"

// Removes the regular files of folder (not links, folders or hidden names)
// last modified before cutoffSeconds (seconds since the epoch). Returns how
// many went.
int RemoveFilesOlderThan(const std::string& folder, std::int64_t cutoffSeconds);

class FailedPruning {
 public:
  // days 0: nothing is ever removed and no thread runs.
  FailedPruning(std::string folder, int days, NodeLog& log);
  ~FailedPruning();
  // Prunes now, then daily in a thread of its own until Stop.
  void Start();
  void Stop();

 private:
  void PruneOnce();

  const std::string folder_;
  const int days_;
  NodeLog& log_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stopping_ = false;
  std::thread thread_;
};
