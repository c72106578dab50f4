#include "object_info.h"

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmdata/dcmetinf.h>

namespace {

// Values longer than this stay in the file.
constexpr Uint32 kMaxValueInMemory = 4096;

std::string Text(DcmItem* item, const DcmTagKey& tag) {
  OFString value;
  if (item == nullptr || item->findAndGetOFString(tag, value).bad()) return {};
  return value.c_str();
}

}  // namespace

bool ReadObjectInfo(const std::string& path, ObjectInfo& info) {
  info = ObjectInfo();
  DcmFileFormat file;
  OFCondition loaded = file.loadFileUntilTag(path.c_str(), EXS_Unknown, EGL_noChange,
                                             kMaxValueInMemory, ERM_autoDetect, DCM_PixelData);
  DcmItem* meta = file.getMetaInfo();
  DcmItem* data = file.getDataset();
  info.sourceAe = Text(meta, DCM_SourceApplicationEntityTitle);
  info.sopClassUid = Text(data, DCM_SOPClassUID);
  info.sopInstanceUid = Text(data, DCM_SOPInstanceUID);
  if (info.sopClassUid.empty()) info.sopClassUid = Text(meta, DCM_MediaStorageSOPClassUID);
  if (info.sopInstanceUid.empty()) info.sopInstanceUid = Text(meta, DCM_MediaStorageSOPInstanceUID);
  info.modality = Text(data, DCM_Modality);
  info.patientId = Text(data, DCM_PatientID);
  info.studyDate = Text(data, DCM_StudyDate);
  info.studyTime = Text(data, DCM_StudyTime);
  return loaded.good();
}
