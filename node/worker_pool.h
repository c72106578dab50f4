// A bounded pool of threads that converts the spooled NM objects, one
// dicom2gsd process per object, at most --workers at once.
#pragma once

#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "node/node_log.h"
#include "node/node_options.h"
#include "node/spool.h"
#include "process/child_process.h"
#include "process/converter_outcome.h"

// A queued object and what the association told of it (nothing for objects
// found in the spool at start).
struct ConversionJob {
  std::string key;
  std::string callingAe, peer;
  double receiveMs = -1;
  int attempts = 0;         // conversions the output folder refused so far
  std::string contentHash;  // of the data set, when the reception hashed it
};

class WorkerPool {
 public:
  WorkerPool(const NodeOptions& options, const std::string& converter, Spool& spool, NodeLog& log);
  ~WorkerPool();
  // Finishes what a crash left after a done marker (its log line, hook and
  // clean-up, each once), then starts the threads.
  void Start();
  void Push(ConversionJob job);
  // Lets the conversions under way finish, starts no other, and joins.
  void Stop();

 private:
  void Work();
  // False when the output folder failed: the job is tried again later (its
  // key may have changed, see Settled).
  bool Convert(ConversionJob& job);
  // Whether the object needs no conversion: converted already, or by the
  // run a crash interrupted (then finished and logged here). An object whose
  // UID was converted with other content moves to its own key.
  bool Settled(std::string& key, ObjectLogEntry& entry);
  ChildResult RunConverter(const std::string& queued, const std::string& output);
  // Marks the object done with its content hash (read from the queued
  // object when empty), then logs it and runs the hook.
  void Finish(const std::string& key, const std::string& output, const std::string& contentHash,
              ObjectLogEntry& entry);
  // Moves a queued object that did not convert into folder (failed/, or
  // --keep-declined) with its reason beside it, or drops it when folder is
  // empty; then logs it.
  // The steps after the done marker, from the one after stage, each
  // recorded in the finish marker so that a crash repeats none.
  void FinishFrom(const std::string& key, const std::string& name, Spool::FinishStage stage,
                  ObjectLogEntry& entry);
  void FinishInterrupted();
  void SetAside(const std::string& key, const std::string& stem, const std::string& reason,
                const std::string& folder, ObjectLogEntry& entry);
  void RunHook(const std::string& gsdPath);

  const NodeOptions& options_;
  const std::string converter_;
  Spool& spool_;
  NodeLog& log_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<ConversionJob> jobs_;
  std::vector<std::thread> threads_;
  bool stopping_ = false;
};
