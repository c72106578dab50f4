// What the node needs to know of a received object: which study it is and
// whether it is nuclear medicine, read with DCMTK from the spooled file.
#pragma once

#include <string>

struct ObjectInfo {
  std::string sopClassUid, sopInstanceUid, modality, patientId, studyDate, studyTime;
  std::string sourceAe;  // (0002,0016): the calling AE that sent it
};

// Reads the file meta information and the data set up to Pixel Data (long
// values are left on disk). False when DCMTK cannot parse it; what was read
// before the fault is kept.
bool ReadObjectInfo(const std::string& path, ObjectInfo& info);
