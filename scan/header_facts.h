// What a DICOM file's header says of the object it holds, read with DCMTK
// from the file meta information and the data set up to Pixel Data (longer
// values are left on disk): one reader for the node's received objects and
// the folder scan's files. A text is the element's first value, as DCMTK
// gives it without padding; Image Type keeps all its values.
#pragma once

#include <string>

struct HeaderFacts {
  std::string sopClassUid, sopInstanceUid;  // the meta information's when the data set has none
  std::string studyInstanceUid, modality, patientId, patientName, studyDate, studyTime;
  std::string sourceAe;        // (0002,0016): the AE that sent it
  std::string transferSyntax;  // its UID: the meta information's, else the one DCMTK read
  std::string imageType;       // the values joined by '\'
  // What tells one series of a patient from another (stress and rest), and
  // the Specific Character Set (0008,0005) their texts are in, as stored.
  std::string studyDescription, seriesDescription, seriesNumber, seriesTime;
  std::string specificCharacterSet;
  std::string numberOfFrames;  // (0028,0008) as stored
  // Unsigned shorts; -1 when absent or unreadable.
  int rows = -1, columns = -1, numberOfTimeSlots = -1, numberOfSlices = -1;
  // Intervals Acquired and Rejected (0018,1083/1084): the beats inside and
  // outside the R-R window, from the first Data Information item of the
  // Gated Information Sequence, else the top level; -1 when absent.
  long intervalsAcquired = -1, intervalsRejected = -1;
};

// Reads path's header into facts (emptied first). False, with DCMTK's
// reason in error, when DCMTK cannot parse it; what was read before the
// fault is kept.
bool ReadHeaderFacts(const std::string& path, HeaderFacts& facts, std::string& error);
