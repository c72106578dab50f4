#include "platform/running_process.h"

#include <dirent.h>
#include <signal.h>
#include <sys/types.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

namespace {

// The parent named in /proc/PID/stat: the fourth field, after the command
// name in parentheses, which may itself hold spaces and parentheses.
long long ParentOf(const char* pid) {
  const std::string path = std::string("/proc/") + pid + "/stat";
  std::FILE* stat = std::fopen(path.c_str(), "re");
  if (stat == nullptr) return -1;
  char line[1024];
  const std::size_t length = std::fread(line, 1, sizeof line - 1, stat);
  std::fclose(stat);
  line[length] = '\0';
  const char* close = std::strrchr(line, ')');
  if (close == nullptr) return -1;
  char state = 0;
  long long parent = -1;
  if (std::sscanf(close + 1, " %c %lld", &state, &parent) != 2) return -1;
  return parent;
}

}  // namespace

bool ProcessRuns(long long pid) {
  // Signal 0 is checked and never sent.
  return pid > 0 && ::kill(static_cast<pid_t>(pid), 0) == 0;
}

std::vector<long long> ProcessTree(long long pid) {
  if (!ProcessRuns(pid)) return {};
  std::vector<long long> tree{pid};
  DIR* proc = ::opendir("/proc");
  if (proc == nullptr) return tree;  // no /proc: the parents are unknown
  std::multimap<long long, long long> children;
  while (const dirent* entry = ::readdir(proc)) {
    char* end = nullptr;
    const long long child = std::strtoll(entry->d_name, &end, 10);
    if (child <= 0 || *end != '\0') continue;
    const long long parent = ParentOf(entry->d_name);
    if (parent > 0) children.emplace(parent, child);
  }
  ::closedir(proc);
  // Breadth first; a process is its own ancestor never, so this ends.
  for (std::size_t i = 0; i < tree.size() && tree.size() < 4096; ++i) {
    const auto range = children.equal_range(tree[i]);
    for (auto it = range.first; it != range.second; ++it) tree.push_back(it->second);
  }
  return tree;
}
