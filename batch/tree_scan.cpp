#include "tree_scan.h"

#include <dirent.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <set>
#include <utility>

#include "converter_outcome.h"
#include "dicomdir.h"

namespace {

using FileId = std::pair<dev_t, ino_t>;

class TreeScan {
 public:
  TreeScan(const ScanOptions& options, TreeScanResult& result)
      : options_(options), result_(result) {}

  void Path(const std::string& path) {
    struct stat info;
    if (::stat(path.c_str(), &info) != 0) return Unreadable(path, std::strerror(errno));
    if (S_ISDIR(info.st_mode)) return Folder(path, 0);
    if (IsDicomdirName(path)) {
      const std::size_t slash = path.rfind('/');
      const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash);
      Dicomdir(path, folder);
      return Folder(folder, 0);
    }
    File(path);
  }

  bool Stopped() const { return result_.cancelled; }

 private:
  static bool IsDicomdirName(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    const char* name = path.c_str() + (slash == std::string::npos ? 0 : slash + 1);
    return ::strcasecmp(name, "DICOMDIR") == 0;
  }

  void Unreadable(const std::string& path, const std::string& why) {
    result_.unreadable.push_back(path + ": " + why);
  }

  // Opens path when it is a regular file not read yet; -1 otherwise. A FIFO
  // or a device swapped in after the check neither blocks the open
  // (O_NONBLOCK) nor gets read (fstat).
  int OpenRegular(const std::string& path, bool quietIfAbsent) {
    int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
      if (!(quietIfAbsent && errno == ENOENT)) Unreadable(path, std::strerror(errno));
      return -1;
    }
    struct stat info;
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) ||
        !seen_.insert({info.st_dev, info.st_ino}).second) {
      ::close(fd);
      return -1;
    }
    return fd;
  }

  void File(const std::string& path, bool quietIfAbsent = false) {
    if (Stopped()) return;
    int fd = OpenRegular(path, quietIfAbsent);
    if (fd < 0) return;
    StudyFacts facts;
    std::string error;
    FactsResult read = ReadStudyFacts(fd, path, facts, error);
    ::close(fd);
    ++result_.filesRead;
    if (read == FactsResult::kUnreadable) Unreadable(path, error);
    // The same object on a CD and in an export, or twice on one CD, counts once.
    if (read == FactsResult::kStudy &&
        GoesToConverter(facts.modality, facts.sopClassUid, options_.acceptNonNm) &&
        (facts.sopInstanceUid.empty() || uids_.insert(facts.sopInstanceUid).second))
      result_.studies.push_back(std::move(facts));
    if (options_.progress && !options_.progress(result_.filesRead, result_.studies.size()))
      result_.cancelled = true;
  }

  void Dicomdir(const std::string& path, const std::string& folder) {
    int fd = OpenRegular(path, false);
    if (fd < 0) return;
    std::vector<std::string> listed;
    std::string error;
    bool read = ListDicomdirFiles(fd, listed, error);
    ::close(fd);
    if (!read) return Unreadable(path, error);
    for (const std::string& relative : listed) {
      std::string file = folder + "/" + relative;
      struct stat info;
      // A CD mounted without its ISO 9660 extensions shows lower-case names.
      if (::stat(file.c_str(), &info) != 0) {
        std::string lower = relative;
        for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (::stat((folder + "/" + lower).c_str(), &info) == 0) file = folder + "/" + lower;
      }
      File(file, true);
    }
  }

  void Folder(const std::string& path, int depth) {
    if (Stopped()) return;
    struct stat info;
    if (::stat(path.c_str(), &info) != 0 || !folders_.insert({info.st_dev, info.st_ino}).second)
      return;  // a link back into the tree, or to a folder already walked
    if (depth > kMaxScanDepth)
      return Unreadable(path, "more than " + std::to_string(kMaxScanDepth) + " folders deep");
    DIR* folder = ::opendir(path.c_str());
    if (folder == nullptr) return Unreadable(path, std::strerror(errno));
    std::vector<std::string> names;
    while (dirent* entry = ::readdir(folder)) {
      if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
        names.push_back(entry->d_name);
    }
    ::closedir(folder);
    std::sort(names.begin(), names.end());
    const std::string prefix = path == "/" ? "/" : path + "/";
    for (const std::string& name : names)
      if (::strcasecmp(name.c_str(), "DICOMDIR") == 0) Dicomdir(prefix + name, path);
    for (const std::string& name : names) {
      const std::string child = prefix + name;
      struct stat entry;
      // Links count for what they point to; only folders and regular files
      // are entered or opened.
      if (::stat(child.c_str(), &entry) != 0) {
        if (::lstat(child.c_str(), &entry) != 0) Unreadable(child, std::strerror(errno));
        continue;  // a dangling link
      }
      if (S_ISDIR(entry.st_mode))
        Folder(child, depth + 1);
      else if (S_ISREG(entry.st_mode))
        File(child);
      if (Stopped()) return;
    }
  }

  const ScanOptions& options_;
  TreeScanResult& result_;
  std::set<FileId> seen_, folders_;
  std::set<std::string> uids_;
};

}  // namespace

TreeScanResult ScanTrees(const std::vector<std::string>& paths, const ScanOptions& options) {
  TreeScanResult result;
  TreeScan scan(options, result);
  for (const std::string& path : paths) {
    if (scan.Stopped()) break;
    scan.Path(path);
  }
  return result;
}
