#include "scan/tree_scan.h"

#include <strings.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <set>
#include <utility>

#include "platform/descriptor.h"
#include "platform/file_status.h"
#include "platform/file_system_kind.h"
#include "platform/held_file.h"
#include "process/converter_outcome.h"
#include "process/terminal_text.h"
#include "scan/dicomdir.h"
#include "scan/open_beneath.h"

namespace {

using FileId = std::pair<std::uint64_t, std::uint64_t>;  // volume, file

FileId IdOf(const FileStatus& info) {
  return {info.identity.volume, info.identity.file};
}

bool IsDicomdirName(const std::string& name) {
  return ::strcasecmp(name.c_str(), "DICOMDIR") == 0;
}

std::string Join(const std::string& folder, const std::string& name) {
  return folder.empty() ? name : folder + "/" + name;
}

// What a name that is not a regular file or a folder is, for a reason.
const char* KindOf(FileType type) {
  if (type == FileType::kFifo) return "a FIFO";
  if (type == FileType::kDevice) return "a device";
  if (type == FileType::kSocket) return "a socket";
  if (type == FileType::kFolder) return "a folder";
  return "not a regular file";
}

class TreeScan {
 public:
  TreeScan(const ScanOptions& options, TreeScanResult& result)
      : options_(options), result_(result) {}

  void Path(const std::string& path) {
    // The path given is followed wherever it leads: the caller named it. What
    // lies below it is held to it.
    UniqueFd named;
    FileStatus info;
    int error = HoldPath(path, named);
    if (error == 0) error = StatusOf(named.get(), info);
    if (error != 0) return Unreadable(path, std::strerror(error));
    if (info.type == FileType::kFolder) return Tree(path, std::move(named), info, "");
    const std::size_t slash = path.rfind('/');
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    if (IsDicomdirName(name)) {
      const std::string folder = slash == std::string::npos ? "."
                                 : slash == 0               ? "/"
                                                            : path.substr(0, slash);
      UniqueFd root;
      FileStatus rootInfo;
      error = HoldFolder(folder, root);
      if (error == 0) error = StatusOf(root.get(), rootInfo);
      if (error != 0) return Unreadable(folder, std::strerror(error));
      return Tree(folder, std::move(root), rootInfo, name);
    }
    root_ = {named.get(), info.identity.volume, path};
    if (info.type != FileType::kRegular) return Unreadable(path, std::string(KindOf(info.type)));
    if (const char* kind = KernelFileSystem(named.get(), info.identity.volume))
      return Unreadable(path, std::string("the kernel's ") + kind + " file system; not read");
    Read(named.get(), info, path);
  }

  bool Stopped() const { return result_.cancelled; }

 private:
  struct Root {
    int fd = -1;  // held: the folder every name resolves beneath
    std::uint64_t volume = 0;
    std::string shown;  // as given, for the list and the messages
  };

  void Tree(const std::string& shown, UniqueFd root, const FileStatus& info,
            const std::string& dicomdir) {
    root_ = {root.get(), info.identity.volume, shown};
    if (const char* kind = KernelFileSystem(root.get(), info.identity.volume))
      return Unreadable(shown, std::string("the kernel's ") + kind + " file system; not scanned");
    if (!dicomdir.empty()) Dicomdir("", dicomdir);
    Folder("", root.get(), info, 0);
  }

  std::string Shown(const std::string& relative) const {
    if (relative.empty()) return root_.shown;
    return (root_.shown == "/" ? "/" : root_.shown + "/") + relative;
  }

  // Once per path: a link the DICOMDIR lists is met again in the walk.
  void Unreadable(const std::string& path, const std::string& why) {
    if (named_.insert(path).second) result_.unreadable.push_back(TerminalText(path + ": " + why));
  }

  // Whether a folder or file may be entered or read: on the root's file
  // system, or on another with crossDevices, but never the kernel's own.
  bool Admitted(int fd, const FileStatus& info, const std::string& relative, bool folder) {
    if (info.identity.volume == root_.volume) return true;
    if (const char* kind = KernelFileSystem(fd, info.identity.volume)) {
      Unreadable(Shown(relative), std::string("the kernel's ") + kind + " file system; not " +
                                      (folder ? "entered" : "read"));
      return false;
    }
    if (options_.crossDevices) return true;
    Unreadable(Shown(relative), folder ? "another file system; not entered (--cross-devices)"
                                       : "on another file system; not read (--cross-devices)");
    return false;
  }

  // The regular file at relative, resolved beneath the root and checked
  // before it is opened; an invalid descriptor with error (an errno value)
  // and why otherwise.
  UniqueFd OpenListed(const std::string& relative, FileStatus& info, int& error, std::string& why) {
    why.clear();
    UniqueFd found(OpenPathBeneath(root_.fd, relative));
    error = found.valid() ? 0 : -found.Release();
    if (error != 0) {
      why = BeneathFailure(error);
      return UniqueFd();
    }
    if ((error = StatusOf(found.get(), info)) != 0) {
      why = std::strerror(error);
      return UniqueFd();
    }
    if (info.type != FileType::kRegular) {
      error = EINVAL;
      why = std::string(KindOf(info.type)) + "; not opened";
      return UniqueFd();
    }
    if (!Admitted(found.get(), info, relative, false)) {
      error = EXDEV;
      return UniqueFd();
    }
    return found;
  }

  // Reads the regular file held as pathFd, once per scan: the very file
  // that was checked, whatever its name leads to now.
  void Read(int pathFd, const FileStatus& info, const std::string& shown) {
    if (Stopped() || !seen_.insert(IdOf(info)).second) return;
    UniqueFd fd;
    if (int error = OpenHeldForReading(pathFd, fd)) return Unreadable(shown, std::strerror(error));
    StudyFacts facts;
    std::string error;
    FactsResult read = ReadStudyFacts(fd.get(), shown, facts, error);
    ++result_.filesRead;
    if (read == FactsResult::kUnreadable) Unreadable(shown, error);
    // The same object on a CD and in an export, or twice on one CD, counts once.
    if (read == FactsResult::kStudy &&
        GoesToConverter(facts.modality, facts.sopClassUid, options_.acceptNonNm) &&
        (facts.sopInstanceUid.empty() || uids_.insert(facts.sopInstanceUid).second))
      result_.studies.push_back(std::move(facts));
    if (options_.progress && !options_.progress(result_.filesRead, result_.studies.size()))
      result_.cancelled = true;
  }

  void Dicomdir(const std::string& folder, const std::string& name) {
    FileStatus info;
    int error = 0;
    std::string why;
    UniqueFd found = OpenListed(Join(folder, name), info, error, why);
    if (!found.valid()) {
      if (!why.empty()) Unreadable(Shown(Join(folder, name)), why);
      return;
    }
    // Read once, whether named or met in the walk; never read as a study.
    if (!seen_.insert(IdOf(info)).second) return;
    UniqueFd fd;
    std::vector<std::string> listed;
    if ((error = OpenHeldForReading(found.get(), fd)) != 0)
      return Unreadable(Shown(Join(folder, name)), std::strerror(error));
    if (!ListDicomdirFiles(fd.get(), listed, why))
      return Unreadable(Shown(Join(folder, name)), why);
    for (const std::string& relative : listed) {
      if (Stopped()) return;
      std::string found = Join(folder, relative);
      UniqueFd file = OpenListed(found, info, error, why);
      if (error == ENOENT) {
        // A CD mounted without its ISO 9660 extensions shows lower-case names.
        std::string lower = relative;
        for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        file = OpenListed(Join(folder, lower), info, error, why);
        if (error != ENOENT) found = Join(folder, lower);
      }
      if (error == ENOENT) why = "listed in the DICOMDIR, but missing";
      if (file.valid())
        Read(file.get(), info, Shown(found));
      else if (!why.empty())
        Unreadable(Shown(found), why);
    }
  }

  // The folder held as pathFd, at relative below the root.
  void Folder(const std::string& relative, int pathFd, const FileStatus& info, int depth) {
    if (Stopped() || !folders_.insert(IdOf(info)).second)
      return;  // a link back into the tree, or to a folder already walked
    if (depth > kMaxScanDepth)
      return Unreadable(Shown(relative),
                        "more than " + std::to_string(kMaxScanDepth) + " folders deep");
    if (!Admitted(pathFd, info, relative, true)) return;
    std::vector<std::string> names;
    if (int error = ListHeldFolder(pathFd, names))
      return Unreadable(Shown(relative), std::strerror(error));
    std::sort(names.begin(), names.end());
    for (const std::string& name : names)
      if (IsDicomdirName(name)) Dicomdir(relative, name);
    for (const std::string& name : names) {
      if (Stopped()) break;
      Entry(pathFd, Join(relative, name), name, depth);
    }
  }

  // One name of a folder being walked (held as at): only folders and
  // regular files are entered or read, a link for what it leads to beneath
  // the root.
  void Entry(int at, const std::string& relative, const std::string& name, int depth) {
    UniqueFd entry;
    FileStatus info;
    int error = HoldEntry(at, name, entry);
    if (error == 0) error = StatusOf(entry.get(), info);
    if (error != 0) {
      if (error != ENOENT) Unreadable(Shown(relative), std::strerror(error));
      return;  // removed since the folder was read
    }
    if (info.type == FileType::kLink) {
      entry = UniqueFd(OpenPathBeneath(root_.fd, relative));
      if (!entry.valid()) {
        const int error = -entry.Release();
        if (error != ENOENT) Unreadable(Shown(relative), BeneathFailure(error));
        return;  // a dangling link
      }
      if ((error = StatusOf(entry.get(), info)) != 0)
        return Unreadable(Shown(relative), std::strerror(error));
    }
    if (info.type == FileType::kFolder)
      Folder(relative, entry.get(), info, depth + 1);
    else if (info.type == FileType::kRegular && Admitted(entry.get(), info, relative, false))
      Read(entry.get(), info, Shown(relative));
  }

  const ScanOptions& options_;
  TreeScanResult& result_;
  Root root_;
  std::set<FileId> seen_, folders_;
  std::set<std::string> uids_, named_;
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
