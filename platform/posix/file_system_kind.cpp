#include "platform/file_system_kind.h"

#include <linux/magic.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>

#include <fstream>
#include <sstream>
#include <string>

namespace {

struct KernelFs {
  long magic;
  const char* name;
};

const KernelFs kKernelFileSystems[] = {
    {PROC_SUPER_MAGIC, "proc"},       {SYSFS_MAGIC, "sysfs"},
    {DEBUGFS_MAGIC, "debugfs"},       {TRACEFS_MAGIC, "tracefs"},
    {SECURITYFS_MAGIC, "securityfs"}, {CGROUP_SUPER_MAGIC, "cgroup"},
    {CGROUP2_SUPER_MAGIC, "cgroup2"}, {BPF_FS_MAGIC, "bpf"},
    {EFIVARFS_MAGIC, "efivarfs"},
};

// The type /proc/self/mountinfo gives the file system of dev, "" when it is
// not there (no /proc).
std::string MountedType(dev_t dev) {
  std::ifstream mounts("/proc/self/mountinfo");
  const std::string wanted = std::to_string(major(dev)) + ":" + std::to_string(minor(dev));
  for (std::string line; std::getline(mounts, line);) {
    std::istringstream fields(line);
    std::string id, parent, device;
    fields >> id >> parent >> device;
    const std::size_t dash = line.find(" - ");
    if (device != wanted || dash == std::string::npos) continue;
    std::istringstream rest(line.substr(dash + 3));
    std::string type;
    rest >> type;
    return type;
  }
  return {};
}

}  // namespace

const char* KernelFileSystem(int fd, std::uint64_t volume) {
  struct statfs fs;
  if (::fstatfs(fd, &fs) != 0) return nullptr;
  for (const KernelFs& known : kKernelFileSystems)
    if (static_cast<long>(fs.f_type) == known.magic) return known.name;
  // devtmpfs is a tmpfs to statfs: only the mount table tells them apart.
  if (fs.f_type == TMPFS_MAGIC && MountedType(static_cast<dev_t>(volume)) == "devtmpfs")
    return "devtmpfs";
  return nullptr;
}

bool OnProcFileSystem(int fd) {
  struct statfs fs;
  return ::fstatfs(fd, &fs) == 0 && fs.f_type == PROC_SUPER_MAGIC;
}
