#include "node/node_log.h"

bool NodeLog::Open(const std::string& path, std::string& error) {
  auto log = std::make_unique<ConversionLog>();
  if (!log->Open(path, error, kNodeFilePermissions)) return false;
  std::lock_guard<std::mutex> lock(mutex_);
  path_ = path;
  log_ = std::move(log);
  return true;
}

bool NodeLog::Reopen(std::string& error) {
  std::string path;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    path = path_;
  }
  if (path.empty()) return true;  // stdout
  auto log = std::make_unique<ConversionLog>();
  if (!log->Open(path, error, kNodeFilePermissions)) return false;
  std::lock_guard<std::mutex> lock(mutex_);
  log_ = std::move(log);
  return true;
}

void NodeLog::Write(const ObjectLogEntry& entry) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (log_) log_->Write(entry);
}

void NodeLog::Event(const std::string& event, const std::string& detail) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (log_) log_->Event(event, detail);
}
