// A fresh folder in the system's temporary folder for one test, removed
// with its contents: plain C++, so the seam's tests need nothing of the
// system beyond the seam itself.
#pragma once

#include <chrono>
#include <filesystem>
#include <random>
#include <string>
#include <system_error>

class ScratchFolder {
 public:
  ScratchFolder() {
    std::random_device random;
    const auto salt = std::chrono::steady_clock::now().time_since_epoch().count();
    for (int tries = 0; tries < 100 && path_.empty(); ++tries) {
      const std::filesystem::path candidate =
          std::filesystem::temp_directory_path() /
          ("dgc-test-" + std::to_string(random() ^ static_cast<unsigned>(salt + tries)));
      std::error_code error;
      if (std::filesystem::create_directory(candidate, error)) path_ = candidate.string();
    }
  }
  ~ScratchFolder() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;
  // Empty when no folder could be made.
  const std::string& path() const { return path_; }
  std::string File(const std::string& name) const {
    return (std::filesystem::path(path_) / name).string();
  }

 private:
  std::string path_;
};
