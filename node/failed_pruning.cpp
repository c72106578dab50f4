#include "node/failed_pruning.h"

#include <chrono>
#include <utility>
#include <vector>

#include "node/spool.h"
#include "platform/durable_folder.h"

namespace {

constexpr std::int64_t kSecondsPerDay = 24 * 60 * 60;

}  // namespace

int RemoveFilesOlderThan(const std::string& folder, std::int64_t cutoffSeconds) {
  std::vector<FolderEntry> entries;
  if (!ListFolder(folder, entries)) return 0;
  int removed = 0;
  for (const FolderEntry& entry : entries) {
    if (entry.name.empty() || entry.name[0] == '.' || !entry.looked || !entry.facts.regularFile ||
        entry.facts.modifiedSeconds >= cutoffSeconds)
      continue;
    if (RemoveFileByName(folder + "/" + entry.name) == 0) ++removed;
  }
  if (removed > 0) SyncFolder(folder);
  return removed;
}

FailedPruning::FailedPruning(std::string folder, int days, NodeLog& log)
    : folder_(std::move(folder)), days_(days), log_(log) {}

FailedPruning::~FailedPruning() {
  Stop();
}

void FailedPruning::Start() {
  if (days_ <= 0) return;
  PruneOnce();
  thread_ = std::thread([this] {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!wake_.wait_for(lock, std::chrono::hours(24), [this] { return stopping_; })) {
      lock.unlock();
      PruneOnce();
      lock.lock();
    }
  });
}

void FailedPruning::Stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void FailedPruning::PruneOnce() {
  const std::int64_t now = std::chrono::duration_cast<std::chrono::seconds>(
                               std::chrono::system_clock::now().time_since_epoch())
                               .count();
  const int removed = RemoveFilesOlderThan(folder_, now - days_ * kSecondsPerDay);
  if (removed > 0)
    log_.Event("failed pruned", std::to_string(removed) + " files older than " +
                                    std::to_string(days_) + " days removed from " + folder_);
}
