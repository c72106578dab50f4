// Signals as the system has them for a new program: whatever a parent left
// (a disposition ignored, a mask), undone; and an end by a signal, as a
// child's signal is passed on.
#pragma once

// Every signal at its default disposition and none blocked.
void RestoreDefaultSignals();

// Ends this process by signal with its default disposition, as if it had
// come from outside; returns only when that disposition does not end it.
void EndBySignal(int signal);
