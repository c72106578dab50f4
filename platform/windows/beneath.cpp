#include "platform/beneath.h"

#include <cerrno>
#include <vector>

#include "platform/file_status.h"
#include "platform/held_file.h"

// No kernel resolution beneath a folder here: the walk alone, holding each
// folder it passes so that ".." goes back to where it came from and never
// above root. A link or junction is refused (ELOOP) rather than read: its
// text is the driver kit's, and a tree from a CD or an export holds none.
int OpenPathBeneath(int root, const std::string& relative, BeneathWay) {
  std::vector<UniqueFd> held;  // the folders below root on the way
  std::size_t start = 0;
  while (start <= relative.size()) {
    std::size_t end = relative.find_first_of("/\\", start);
    if (end == std::string::npos) end = relative.size();
    const std::string name = relative.substr(start, end - start);
    start = end + 1;
    if (name.empty() || name == ".") continue;
    if (name == "..") {
      if (held.empty()) return -EXDEV;
      held.pop_back();
      continue;
    }
    const int folder = held.empty() ? root : held.back().get();
    if (!held.empty()) {
      FileStatus status;
      if (int error = StatusOf(folder, status)) return -error;
      if (status.type != FileType::kFolder) return -ENOTDIR;
    }
    UniqueFd entry;
    FileStatus status;
    int error = HoldEntry(folder, name, entry);
    if (error == 0) error = StatusOf(entry.get(), status);
    if (error != 0) return -error;
    if (status.type == FileType::kLink) return -ELOOP;
    held.push_back(std::move(entry));
  }
  if (!held.empty()) return held.back().Release();
  UniqueFd self;
  if (int error = DuplicateDescriptor(root, self)) return -error;
  return self.Release();
}
