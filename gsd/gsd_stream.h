// The GSD bytes written to an open stream; WriteGsdFile wraps it with the
// output-file rules (output_file.h).
#pragma once

#include <cstdio>

#include "model/study.h"

// Writes the study's header and frames and flushes them; false as soon as a
// write fails. Frames of each gate go first to last when baseToApex, else
// last to first. The stream is left open, with its buffer replaced by the
// writer's.
bool WriteGsdStream(std::FILE* out, const Study& study, bool baseToApex);
