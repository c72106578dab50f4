// How many processors this process may run on: as many threads as that
// keep it busy, no more.
#pragma once

// The processors its affinity allows, else those online; at least 1.
int UsableCores();
