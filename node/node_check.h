// gsd-node --check HOST PORT: whether a DICOM node answers a C-ECHO, for
// monitors (exit 0 or 1).
#pragma once

#include <string>

#include "node/node_options.h"

// True when the node at options.checkHost:checkPort accepts an association
// for options.aeTitle and answers the echo with success, all within
// options.acseTimeout seconds per step; else false with the reason in error.
bool CheckNode(const NodeOptions& options, std::string& error);
