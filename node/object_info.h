// What the node needs to know of a received object: which study it is and
// whether it is nuclear medicine, read from the spooled file with the folder
// scan's DCMTK header reader.
#pragma once

#include <string>

#include "scan/header_facts.h"

using ObjectInfo = HeaderFacts;

// Reads the file meta information and the data set up to Pixel Data (long
// values are left on disk). False when DCMTK cannot parse it; what was read
// before the fault is kept.
bool ReadObjectInfo(const std::string& path, ObjectInfo& info);
