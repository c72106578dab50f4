#include "platform/program_folder.h"

#include <limits.h>
#include <unistd.h>

std::string ProgramFolder() {
  char path[PATH_MAX];
  ssize_t n = ::readlink("/proc/self/exe", path, sizeof path);
  // A path that fills the buffer may have been cut: no folder rather than a wrong one.
  if (n <= 0 || n >= static_cast<ssize_t>(sizeof path)) return {};
  std::string self(path, static_cast<std::size_t>(n));
  std::size_t slash = self.rfind('/');
  if (self[0] != '/' || slash == std::string::npos) return {};
  return slash == 0 ? "/" : self.substr(0, slash);
}

std::string ProgramBeside(const std::string& name) {
  const std::string folder = ProgramFolder();
  if (folder.empty()) return {};
  return folder + (folder == "/" ? "" : "/") + name;
}
