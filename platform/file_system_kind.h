// Whether a folder or file lies on one of the kernel's own file systems
// (proc, sysfs, devtmpfs and their kin): their files are the running
// system's state, some block or change it when read, and none holds a study.
// Of these, proc's links name open files rather than paths: only the kernel
// can follow them.
#pragma once

#include <cstdint>

// The file system's name ("proc", "sysfs", "devtmpfs"...) when the held fd
// (volume its FileIdentity's) lies on one of the kernel's own, else nullptr.
const char* KernelFileSystem(int fd, std::uint64_t volume);

// Whether the held fd lies on proc.
bool OnProcFileSystem(int fd);
