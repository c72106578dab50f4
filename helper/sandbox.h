// The decoder helper's confinement. The helper runs GDCM and the codecs it
// links on files from anywhere; whatever a hostile file does to that code, the
// helper must not reach the file system, the network, other processes or the
// rights of the user who started the converter. Each step returns false with
// the reason in words when it cannot be taken; the helper then decodes
// nothing.
#pragma once

#include <string>

// As root (real or effective): no supplementary groups, then the group and
// user of the helpers' own system user (dicom-decode, which the package
// makes; else a uid no account names, from the dynamic range), each step
// checked, and no way back. Then, for every user: no new privileges through
// exec and no core or ptrace access by others (undumpable.cpp has made the
// program so from its start; this keeps it so after the change of user).
bool DropPrivileges(std::string& why);

// SIGKILL when the parent ends. A change of user clears this, so it is set
// after DropPrivileges; false when parent is no longer the parent (it ended
// before the signal was armed).
bool EndWithParent(long parent, std::string& why);

// From here on only writes to standard output and error, memory that is not
// executable and not a file mapping, threads of this process (no new
// process, no exec), and the ways out (exit, abort) are allowed; any other
// system call ends the process with SIGSYS. Nothing can be opened, so the
// input must be in memory before. controlFd, when above 2, may be written
// too: the pipe to dicom-decode's standby child.
bool ConfineSystemCalls(std::string& why, int controlFd = -1);
