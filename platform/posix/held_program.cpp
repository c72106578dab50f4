#include "platform/held_program.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

int HoldProgram(const std::string& path) {
  const int fd = ::open(path.c_str(), O_PATH | O_CLOEXEC);
  struct stat info;
  if (fd >= 0 && ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) return fd;
  if (fd >= 0) ::close(fd);
  return -1;
}

int RunHeldProgram(int program, const std::vector<std::string>& argv) {
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  char* envp[] = {nullptr};
  ::execveat(program, "", args.data(), envp, AT_EMPTY_PATH);
  return errno;
}
