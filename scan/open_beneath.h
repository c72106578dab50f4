// Why a name of a scanned tree was not resolved beneath its root, in the
// scan's words (the resolution itself is the seam's: platform/beneath.h).
#pragma once

#include <string>

#include "platform/beneath.h"

// Why a failed OpenPathBeneath gave up, in words.
std::string BeneathFailure(int error);
