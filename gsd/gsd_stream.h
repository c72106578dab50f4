// The GSD bytes written to an open stream; WriteGsdFile wraps it with the
// safe replacement of the output file.
#pragma once

#include <cstdio>

#include "study_state.h"

// Writes header and frames; false as soon as a write fails. Frames of each
// gate go first to last when baseToApex, else last to first.
bool WriteGsdStream(std::FILE* out, const TStudyRecord& record, bool baseToApex);
