#include "output/output_path.h"

#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/file_system_kind.h"
#include "platform/held_file.h"
#include "platform/path_text.h"

bool OthersMayWrite(const FileStatus& folder) {
  return (folder.permissions & kOthersMayWriteBit) != 0;
}

std::string SharedFolderRefusal(const FileStatus& folder, const FileStatus& entry,
                                const std::string& name) {
  if (!OthersMayWrite(folder)) return {};
  const std::string quoted = "\"" + name + "\"";
  const std::string where = " in a folder that all users may write";
  if (entry.type == FileType::kRegular && entry.links > 1)
    return quoted + " has " + std::to_string(entry.links) + " links" + where + "; not written";
  const bool theirs = entry.owner != EffectiveUser() && entry.owner != folder.owner;
  if (!theirs) return {};
  const std::string owner = " of user " + std::to_string(entry.owner);
  if (entry.type == FileType::kLink)
    return quoted + " is a symbolic link" + owner + where + "; not followed";
  if (entry.type == FileType::kFifo) return quoted + " is a FIFO" + owner + where + "; not opened";
  if (entry.type == FileType::kRegular && (folder.permissions & kStickyBit))
    return quoted + " is a file" + owner + where + " (sticky); not written";
  return {};
}

namespace {

constexpr int kMostLinks = 40;  // as many as the kernel follows in one path

// Appends the components of text (separated as the system separates them)
// so that the first one is taken next.
void PushComponents(const std::string& text, std::vector<std::string>& pending) {
  std::vector<std::string> parts;
  for (std::size_t start = 0; start <= text.size();) {
    std::size_t slash = start;
    while (slash < text.size() && !IsPathSeparator(text[slash])) ++slash;
    if (slash > start) parts.push_back(text.substr(start, slash - start));
    start = slash + 1;
  }
  pending.insert(pending.end(), parts.rbegin(), parts.rend());
}

int Refuse(std::string& error, const std::string& why) {
  error = why;
  return EACCES;
}

int Errno(std::string& error, int code) {
  error = std::strerror(code);
  return code;
}

// Puts the target of the link entry in the walk's place: its components go
// on the pending list, from / when it is absolute. Returns 0, or Errno's
// result.
int FollowLink(int entry, bool last, UniqueFd& folder, std::vector<std::string>& pending,
               std::string& error) {
  std::string to;
  if (int failed = ReadLinkText(entry, to)) return Errno(error, failed);
  if (last && IsPathSeparator(to.back())) return Errno(error, EISDIR);
  std::string rest;
  const std::string root = PathRoot(to, rest);
  if (!root.empty()) {
    if (int failed = HoldFolder(root, folder)) return Errno(error, failed);
  }
  PushComponents(rest, pending);
  return 0;
}

// Where the walk stands: the folder reached, what is left of the path and
// the component taken last.
struct Walk {
  UniqueFd folder;
  std::vector<std::string> pending;  // still to walk, the next one last
  int links = 0;
  std::string name;
  int failed = 0;  // the errno value of a failed step
};

// What a step asks of the walk: go on, stop at the output's name, or fail.
enum class Step { kNext, kDone, kFailed };

Step Failed(Walk& walk, int code) {
  walk.failed = code;
  return Step::kFailed;
}

// "." stays where it is and ".." climbs; neither may name the output.
Step StepDots(bool last, Walk& walk, std::string& error) {
  if (last) return Failed(walk, Errno(error, EISDIR));
  if (walk.name == "..") {
    UniqueFd parent;
    if (int failed = HoldParent(walk.folder.get(), parent))
      return Failed(walk, Errno(error, failed));
    walk.folder = std::move(parent);
  }
  walk.name.clear();
  return Step::kNext;
}

// A symbolic link: refused in a shared folder, entered as a folder on /proc,
// else followed by the walk itself.
Step StepLink(int entry, const FileStatus& info, const FileStatus& folderInfo, bool last,
              Walk& walk, OutputPlace& place, std::string& error) {
  std::string refusal = SharedFolderRefusal(folderInfo, info, walk.name);
  if (!refusal.empty()) return Failed(walk, Refuse(error, refusal));
  if (OnProcFileSystem(walk.folder.get())) {
    // /proc/self/fd/N and the like name open files, not paths.
    if (last) {
      place.kernelLink = true;
      return Step::kDone;
    }
    UniqueFd entered;
    if (int failed = HoldFolderThrough(walk.folder.get(), walk.name, entered))
      return Failed(walk, Errno(error, failed));
    walk.folder = std::move(entered);
    walk.name.clear();
    return Step::kNext;
  }
  if (++walk.links > kMostLinks) return Failed(walk, Errno(error, ELOOP));
  if (int failed = FollowLink(entry, last, walk.folder, walk.pending, error))
    return Failed(walk, failed);
  walk.name.clear();
  return Step::kNext;
}

// Takes the next component: a dot, a link, the output's name or a folder.
Step StepComponent(Walk& walk, OutputPlace& place, std::string& error) {
  walk.name = walk.pending.back();
  walk.pending.pop_back();
  const bool last = walk.pending.empty();
  if (walk.name == "." || walk.name == "..") return StepDots(last, walk, error);
  UniqueFd entry;
  if (int failed = HoldEntry(walk.folder.get(), walk.name, entry)) {
    if (last && failed == ENOENT) return Step::kDone;  // a new file
    return Failed(walk, Errno(error, failed));
  }
  FileStatus info, folderInfo;
  int failed = StatusOf(entry.get(), info);
  if (failed == 0) failed = StatusOf(walk.folder.get(), folderInfo);
  if (failed != 0) return Failed(walk, Errno(error, failed));
  if (info.type == FileType::kLink)
    return StepLink(entry.get(), info, folderInfo, last, walk, place, error);
  if (last) return Step::kDone;  // the output itself, opened by the caller
  if (info.type != FileType::kFolder) return Failed(walk, Errno(error, ENOTDIR));
  walk.folder = std::move(entry);
  return Step::kNext;
}

}  // namespace

int FindOutputPlace(const char* path, OutputPlace& place, std::string& error) {
  const std::string text = path;
  if (text.empty()) return Errno(error, ENOENT);
  // A name ending in "/" can only be a folder.
  if (IsPathSeparator(text.back())) return Errno(error, EISDIR);
  Walk walk;
  std::string rest;
  const std::string root = PathRoot(text, rest);
  if (int failed = HoldFolder(root.empty() ? "." : root, walk.folder)) return Errno(error, failed);
  PushComponents(rest, walk.pending);
  Step step = Step::kNext;
  while (step == Step::kNext && !walk.pending.empty()) step = StepComponent(walk, place, error);
  if (step == Step::kFailed) return walk.failed;
  if (walk.name.empty()) return Errno(error, EISDIR);  // the path names a folder

  // A descriptor that can be synced when the folder may be read.
  UniqueFd readable;
  if (OpenFolderForReading(walk.folder.get(), readable) == 0) walk.folder = std::move(readable);
  if (int failed = StatusOf(walk.folder.get(), place.folderInfo)) return Errno(error, failed);
  place.folder = std::move(walk.folder);
  place.name = walk.name;
  return 0;
}
