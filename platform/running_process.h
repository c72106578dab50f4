// Whether a process this one started earlier (a viewer left running on its
// own) still runs, so that a second request does not start another, and
// which processes it started in turn, whose windows may be the viewer's.
#pragma once

#include <vector>

// Whether the process numbered pid exists and may be signalled by this one.
bool ProcessRuns(long long pid);

// pid and the processes descending from it, pid first: an opener such as
// xdg-open runs the viewer as its child. pid alone where the system keeps
// no parent per process; nothing when pid does not run.
std::vector<long long> ProcessTree(long long pid);
