// A process confined to computation. A program that runs codec libraries
// on files from anywhere shuts itself in before they see a byte: whatever
// a hostile file makes that code do, it cannot reach the file system, the
// network, other processes or its user's rights.
#pragma once

enum class Confinement {
  kConfined,
  kNoFilter,      // the filter could not be made
  kNotInstalled,  // the system refused it (error set)
};

// From here on only writes to standard output and error, memory that is
// not executable and not a file mapping, threads of this process (no new
// process, no exec), waiting for a child made before, and the ways out
// (exit, abort) are allowed; any other system call ends the process (by
// SIGSYS). Nothing can be opened, so what it reads must be in memory
// before. controlFd, when above 2, may be written too. A few calls that
// libraries make on their own are answered as failures instead: the
// helper's libraries (GDCM looks for a program to run, libuuid for random
// bytes and its ids) go on without them.
Confinement ConfineToComputation(int controlFd, int& error);

// What the confinement forbids, tried once: a confined process ends here.
enum class ForbiddenCall {
  kNewProcess,        // fork
  kOpenFile,          // /etc/passwd
  kSocket,            // an IPv4 stream socket
  kRunProgram,        // exec of /bin/true
  kExecutableMemory,  // anonymous memory mapped executable
  kFileMapping,       // standard input mapped
};

void TryForbiddenCall(ForbiddenCall call);
