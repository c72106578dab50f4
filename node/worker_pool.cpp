#include "node/worker_pool.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "node/object_info.h"
#include "output/name_template.h"
#include "platform/durable_folder.h"
#include "process/child_process.h"
#include "process/converter_outcome.h"
#include "status/converter_status.h"

namespace {

constexpr int kHookDeadlineSeconds = 60;
constexpr std::size_t kOutputLimit = 64 * 1024;
// A full or unwritable output folder is tried again after 1, 2, 4... s, at
// most a minute apart.
constexpr int kMaxRetryDelaySeconds = 60;

double MillisecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
      .count();
}

std::string Stem(const std::string& name) {
  std::size_t dot = name.rfind('.');
  return dot == std::string::npos || dot == 0 ? name : name.substr(0, dot);
}

}  // namespace

WorkerPool::WorkerPool(const NodeOptions& options, const std::string& converter, Spool& spool,
                       NodeLog& log)
    : options_(options), converter_(converter), spool_(spool), log_(log) {}

WorkerPool::~WorkerPool() {
  Stop();
}

void WorkerPool::Start() {
  FinishInterrupted();
  for (int i = 0; i < options_.workers; ++i) threads_.emplace_back([this] { Work(); });
}

void WorkerPool::Push(ConversionJob job) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    jobs_.push_back(std::move(job));
  }
  wake_.notify_one();
}

void WorkerPool::Stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  for (std::thread& thread : threads_) thread.join();
  threads_.clear();
}

void WorkerPool::Work() {
  for (;;) {
    ConversionJob job;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      wake_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
      // What is left stays in the spool for the next start.
      if (stopping_) return;
      job = std::move(jobs_.front());
      jobs_.pop_front();
    }
    if (Convert(job)) continue;
    const int delay = std::min(kMaxRetryDelaySeconds, 1 << std::min(job.attempts, 6));
    ++job.attempts;
    std::unique_lock<std::mutex> lock(mutex_);
    if (wake_.wait_for(lock, std::chrono::seconds(delay), [this] { return stopping_; })) return;
    jobs_.push_back(std::move(job));
  }
}

namespace {

// The log line's facts of a queued object, from the association or, for one
// found at start, from the object itself.
ObjectLogEntry EntryOf(const ConversionJob& job, const ObjectInfo& info) {
  ObjectLogEntry entry;
  entry.callingAe = job.callingAe.empty() ? info.sourceAe : job.callingAe;
  entry.peer = job.peer;
  entry.sopInstanceUid = info.sopInstanceUid;
  entry.patientId = info.patientId;
  entry.modality = info.modality;
  entry.receiveMs = job.receiveMs;
  return entry;
}

// Why a conversion that did not end with a GSD failed: the child's output,
// then what the pool saw of its end.
std::string FailureReason(const ChildResult& run) {
  std::string reason = run.output;
  if (run.timedOut)
    reason +=
        "dicom2gsd did not finish within " + std::to_string(kConverterDeadlineSeconds) + " s\n";
  else if (run.signal != 0)
    reason += "dicom2gsd ended by signal " + std::to_string(run.signal) + "\n";
  else if (run.exitCode == 0)
    reason += "dicom2gsd wrote nothing\n";
  return reason;
}

// Whether dicom2gsd read the study and failed to write output: its reason
// names the output and says it cannot be written.
bool WriteFailed(const ConverterOutcome& outcome, const std::string& output) {
  const std::string said = output + ": cannot write: ";
  return outcome.status == kExitFailed && outcome.kind != kOutcomeDeclined &&
         outcome.reason.compare(0, said.size(), said) == 0;
}

}  // namespace

bool WorkerPool::Convert(ConversionJob& job) {
  const auto start = std::chrono::steady_clock::now();
  ObjectInfo info;
  ReadObjectInfo(spool_.QueuedPath(job.key), info);
  ObjectLogEntry entry = EntryOf(job, info);
  if (Settled(job.key, entry)) return true;
  const std::string key = job.key;

  NameFields fields{info.patientId, info.studyDate, info.studyTime, info.sopInstanceUid};
  const std::string queued = spool_.QueuedPath(key);
  std::string error;
  const std::string name = ReserveOutputName(
      options_.out, ExpandNameTemplate(options_.nameTemplate, fields), error, kNodeFilePermissions);
  if (name.empty() || !spool_.WriteWorkMarker(key, name, error)) {
    if (!name.empty()) RemoveFileByName(options_.out + "/" + name);
    // The object stays queued: the output folder, not the study, failed.
    entry.outcome = "error";
    entry.message = error;
    log_.Write(entry);
    return false;
  }
  const std::string output = options_.out + "/" + name;
  ChildResult run = RunConverter(queued, output);
  entry.convertMs = MillisecondsSince(start);
  const ConverterOutcome outcome = OutcomeOfChild(run, RegularFileSize(output) > 0);
  entry.warnings = outcome.warnings;
  if (IsContentKey(key))
    entry.warnings.push_back(
        "an object with this SOP Instance UID and other content was received before: "
        "kept and converted as an object of its own");
  if (outcome.status == kExitSaved) {
    Finish(key, output, job.contentHash, entry);
    return true;
  }
  if (RegularFileSize(output) == 0) RemoveFileByName(output);
  if (WriteFailed(outcome, output)) {
    // A full or failing output, not the study: it stays queued and is tried
    // again like an output folder that refused its name.
    spool_.RemoveWorkMarker(key);
    entry.outcome = "error";
    entry.message = outcome.reason;
    log_.Write(entry);
    return false;
  }
  // A study declined by rule (projections; not NM) is routine for a camera
  // that exports everything: it is not a failure and does not fill failed/.
  if (outcome.kind == kOutcomeDeclined) {
    entry.outcome = kOutcomeDeclined;
    SetAside(key, Stem(name), FailureReason(run), options_.keepDeclined, entry);
    return true;
  }
  entry.outcome = OutcomeOfExit(outcome.status);
  SetAside(key, Stem(name), FailureReason(run), options_.out + "/failed", entry);
  return true;
}

bool WorkerPool::Settled(std::string& key, ObjectLogEntry& entry) {
  if (spool_.IsDone(key)) {
    // The same UID arrived again while its first copy was converted, or a
    // crash came between the done marker and the queue's clean-up.
    const std::string uidKey = key;
    std::string error;
    Spool::Queued requeued = spool_.Requeue(key, error);
    if (requeued != Spool::Queued::kQueued) {
      spool_.RemoveWorkMarker(uidKey);
      entry.outcome = requeued == Spool::Queued::kDuplicate ? "duplicate" : "error";
      entry.message = error;
      log_.Write(entry);
      return true;
    }
    spool_.RemoveWorkMarker(uidKey);
  }
  std::string previous;
  if (spool_.ReadWorkMarker(key, previous)) {
    // A conversion that a crash interrupted: dicom2gsd renames the complete
    // file over the empty placeholder, so a non-empty one is finished.
    const std::string path = options_.out + "/" + previous;
    long long size = RegularFileSize(path);
    if (size > 0) {
      entry.warnings.push_back("converted before the node restarted");
      Finish(key, path, "", entry);
      return true;
    }
    if (size == 0) RemoveFileByName(path);
    spool_.RemoveWorkMarker(key);
  }
  return false;
}

ChildResult WorkerPool::RunConverter(const std::string& queued, const std::string& output) {
  std::vector<std::string> argv = {converter_};
  if (options_.acceptNonNm) argv.push_back("--accept-non-nm");
  if (options_.acceptProjections) argv.push_back("--accept-projections");
  argv.insert(argv.end(), {"--outcome-fd", std::to_string(kChildReportFd), "--", queued, output});
  return RunChild(argv, kConverterDeadlineSeconds, kOutputLimit, true);
}

void WorkerPool::Finish(const std::string& key, const std::string& output,
                        const std::string& contentHash, ObjectLogEntry& entry) {
  std::string error;
  const std::string name = output.substr(options_.out.size() + 1);
  // Done before the queue entry goes: a crash in between finds it done. The
  // marker keeps the content's hash, against which a later copy is judged.
  // The finish marker before it: a crash after the done marker finds the
  // log line, the hook and the clean-up still to do.
  const std::string hash =
      contentHash.empty() ? ObjectContentHash(spool_.QueuedPath(key)) : contentHash;
  if (!spool_.WriteFinishMarker(key, name, Spool::FinishStage::kDone, error) ||
      !spool_.MarkDone(key, hash, error)) {
    spool_.RemoveFinishMarker(key);
    entry.outcome = "error";
    entry.message = error;
    log_.Write(entry);
    return;
  }
  FinishFrom(key, name, Spool::FinishStage::kDone, entry);
}

void WorkerPool::FinishFrom(const std::string& key, const std::string& name,
                            Spool::FinishStage stage, ObjectLogEntry& entry) {
  const std::string output = options_.out + "/" + name;
  std::string error;
  if (stage == Spool::FinishStage::kDone) {
    entry.outcome = "converted";
    entry.output = output;
    log_.Write(entry);
    stage = Spool::FinishStage::kLogged;
    // Should the marker not move on, a restart logs the line again rather
    // than never.
    spool_.WriteFinishMarker(key, name, stage, error);
  }
  if (stage == Spool::FinishStage::kLogged) {
    RunHook(output);
    spool_.WriteFinishMarker(key, name, Spool::FinishStage::kHookRun, error);
  }
  spool_.RemoveQueued(key);
  spool_.RemoveWorkMarker(key);
  spool_.RemoveFinishMarker(key);
}

void WorkerPool::FinishInterrupted() {
  for (const std::string& key : spool_.FinishingKeys()) {
    std::string name;
    Spool::FinishStage stage;
    if (!spool_.IsDone(key) || !spool_.ReadFinishMarker(key, name, stage)) {
      // Not marked done (the queue's turn finishes it) or not readable.
      spool_.RemoveFinishMarker(key);
      continue;
    }
    ObjectInfo info;
    ReadObjectInfo(spool_.QueuedPath(key), info);
    ConversionJob job;
    ObjectLogEntry entry = EntryOf(job, info);
    entry.warnings.push_back("converted before the node restarted");
    FinishFrom(key, name, stage, entry);
  }
}

void WorkerPool::SetAside(const std::string& key, const std::string& stem,
                          const std::string& reason, const std::string& folder,
                          ObjectLogEntry& entry) {
  std::string kept, reasonPath, error;
  entry.message = reason;
  while (!entry.message.empty() && entry.message.back() == '\n') entry.message.pop_back();
  if (folder.empty()) {
    spool_.RemoveQueued(key);
  } else if (MoveIntoFolder(spool_.QueuedPath(key), folder, stem + ".dcm", kept, error)) {
    // The reason beside the object, under the same stem.
    std::string keptName = kept.substr(folder.size() + 1);
    if (!WriteNewFile(folder, Stem(keptName) + ".reason", reason, reasonPath, error))
      entry.message += " (" + error + ")";
    entry.output = kept;
    SyncFolder(options_.out);
  } else {
    entry.message += " (not moved to " + folder + ": " + error + ")";
  }
  spool_.RemoveWorkMarker(key);
  log_.Write(entry);
}

void WorkerPool::RunHook(const std::string& gsdPath) {
  if (options_.onGsd.empty()) return;
  std::vector<std::string> argv = options_.onGsd;
  argv.push_back(gsdPath);
  ChildResult run = RunChild(argv, kHookDeadlineSeconds, kOutputLimit);
  if (run.exitCode != 0)
    log_.Event("on-gsd failed", gsdPath + ": exit " + std::to_string(run.exitCode) + ", signal " +
                                    std::to_string(run.signal) + ": " + run.output);
}
