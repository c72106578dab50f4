// The GSD bytes written to an open stream; WriteGsdFile wraps it with the
// safe replacement of the output file.
#pragma once

#include <cstdio>

#include "study_state.h"

// Writes header and frames and flushes them; false as soon as a write
// fails. Frames of each gate go first to last when baseToApex, else last to
// first. The stream is left open, with its buffer replaced by the writer's.
bool WriteGsdStream(std::FILE* out, const TStudyRecord& record, bool baseToApex);

// Turns the descriptor of the writer's new file into a stream. Tests replace
// it with a stream that fails at a chosen byte.
using GsdStreamOpener = std::FILE* (*)(int fd);
extern GsdStreamOpener OpenGsdStream;

// Whether the writer's new file starts without a name (O_TMPFILE). Where the
// file system cannot do that it gets a random name instead; tests turn this
// off to run that way everywhere.
extern bool GsdUnnamedTempFiles;
