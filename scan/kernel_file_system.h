// Whether a folder or file lies on one of the kernel's own file systems
// (proc, sysfs, devtmpfs and their kin): their files are the running
// system's state, some block or change it when read, and none holds a study.
#pragma once

#include <sys/types.h>

// The file system's name ("proc", "sysfs", "devtmpfs"...) when fd (dev its
// st_dev) lies on one of the kernel's own, else nullptr.
const char* KernelFileSystem(int fd, dev_t dev);
