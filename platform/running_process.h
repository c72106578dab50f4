// Whether a process this one started earlier (a viewer left running on its
// own) still runs, so that a second request does not start another.
#pragma once

// Whether the process numbered pid exists and may be signalled by this one.
bool ProcessRuns(long long pid);
