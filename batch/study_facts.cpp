#include "study_facts.h"

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmdata/dcmetinf.h>
#include <dcmtk/oflog/oflog.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

// Longer values stay in the file: a header never costs more than this each.
constexpr Uint32 kMaxValueInMemory = 4096;

std::string Text(DcmItem* item, const DcmTagKey& tag) {
  OFString value;
  if (item == nullptr || item->findAndGetOFStringArray(tag, value).bad()) return {};
  return value.c_str();
}

int Number(DcmItem* item, const DcmTagKey& tag) {
  std::string text = Text(item, tag);
  char* end = nullptr;
  long value = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || value < 0 || value > 1000000) return -1;
  return static_cast<int>(value);
}

int UnsignedShort(DcmItem* item, const DcmTagKey& tag) {
  Uint16 value = 0;
  if (item == nullptr || item->findAndGetUint16(tag, value).bad()) return -1;
  return value;
}

// Whether the bytes start like a DICOM file: "DICM" after the preamble, or
// a data set without one that begins with a group 0008 element (or group
// 0002 meta information).
bool LooksLikeDicom(int fd) {
  unsigned char head[132];
  ssize_t got = ::pread(fd, head, sizeof head, 0);
  if (got >= 132 && std::memcmp(head + 128, "DICM", 4) == 0) return true;
  if (got < 8) return false;
  const unsigned group = head[0] | head[1] << 8;
  return group == 0x0002 || group == 0x0008;
}

}  // namespace

FactsResult ReadStudyFacts(int fd, const std::string& path, StudyFacts& facts, std::string& error) {
  // Stopping at Pixel Data is what is asked for, not worth DCMTK's warning;
  // a file it cannot read is reported by the caller.
  static const bool quiet = [] {
    OFLog::configure(OFLogger::FATAL_LOG_LEVEL);
    return true;
  }();
  (void)quiet;
  facts = StudyFacts();
  facts.path = path;
  if (!LooksLikeDicom(fd)) return FactsResult::kNotDicom;
  // DCMTK opens by name: the descriptor's own name reopens the very file
  // that was checked to be regular, whatever the path points to now.
  const std::string self = "/proc/self/fd/" + std::to_string(fd);
  DcmFileFormat file;
  OFCondition loaded = file.loadFileUntilTag(self.c_str(), EXS_Unknown, EGL_noChange,
                                             kMaxValueInMemory, ERM_autoDetect, DCM_PixelData);
  DcmItem* meta = file.getMetaInfo();
  DcmDataset* data = file.getDataset();
  facts.sopClassUid = Text(data, DCM_SOPClassUID);
  facts.sopInstanceUid = Text(data, DCM_SOPInstanceUID);
  if (facts.sopClassUid.empty()) facts.sopClassUid = Text(meta, DCM_MediaStorageSOPClassUID);
  if (facts.sopInstanceUid.empty())
    facts.sopInstanceUid = Text(meta, DCM_MediaStorageSOPInstanceUID);
  facts.modality = Text(data, DCM_Modality);
  if (loaded.bad() && facts.sopInstanceUid.empty() && facts.modality.empty()) {
    error = loaded.text();
    return FactsResult::kUnreadable;
  }
  facts.studyInstanceUid = Text(data, DCM_StudyInstanceUID);
  facts.patientId = Text(data, DCM_PatientID);
  facts.patientName = Text(data, DCM_PatientName);
  facts.studyDate = Text(data, DCM_StudyDate);
  facts.studyTime = Text(data, DCM_StudyTime);
  facts.imageType = Text(data, DCM_ImageType);
  facts.transferSyntax = Text(meta, DCM_TransferSyntaxUID);
  if (facts.transferSyntax.empty() && data != nullptr)
    facts.transferSyntax = DcmXfer(data->getOriginalXfer()).getXferID();
  facts.rows = UnsignedShort(data, DCM_Rows);
  facts.columns = UnsignedShort(data, DCM_Columns);
  const int timeSlots = UnsignedShort(data, DCM_NumberOfTimeSlots);
  const int frames = Number(data, DCM_NumberOfFrames);
  const int slices = UnsignedShort(data, DCM_NumberOfSlices);
  facts.gated = timeSlots > 1;
  facts.gates = timeSlots > 0 ? timeSlots : 1;
  // As the loader counts: Number of Slices beside five frames or more.
  if (slices > 0 && frames >= 5)
    facts.framesPerGate = slices;
  else
    facts.framesPerGate = frames > 0 ? frames / facts.gates : 0;
  return FactsResult::kStudy;
}
