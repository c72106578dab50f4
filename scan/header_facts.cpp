#include "scan/header_facts.h"

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmdata/dcmetinf.h>

namespace {

// Longer values stay in the file: a header never costs more than this each.
constexpr Uint32 kMaxValueInMemory = 4096;

std::string Text(DcmItem* item, const DcmTagKey& tag) {
  OFString value;
  if (item == nullptr || item->findAndGetOFString(tag, value).bad()) return {};
  return value.c_str();
}

std::string AllValues(DcmItem* item, const DcmTagKey& tag) {
  OFString value;
  if (item == nullptr || item->findAndGetOFStringArray(tag, value).bad()) return {};
  return value.c_str();
}

int UnsignedShort(DcmItem* item, const DcmTagKey& tag) {
  Uint16 value = 0;
  if (item == nullptr || item->findAndGetUint16(tag, value).bad()) return -1;
  return value;
}

// A whole number (IS) of item, or of fallback when item holds none; -1 when
// neither holds a number of 0 or more.
long Count(DcmItem* item, DcmItem* fallback, const DcmTagKey& tag) {
  Sint32 value = -1;
  if ((item == nullptr || item->findAndGetSint32(tag, value).bad()) &&
      (fallback == nullptr || fallback->findAndGetSint32(tag, value).bad()))
    return -1;
  return value < 0 ? -1 : value;
}

// The first Data Information item (0054,0063) of the first Gated
// Information item (0054,0062); null when there is none.
DcmItem* DataInformation(DcmItem* data) {
  DcmItem* gated = nullptr;
  DcmItem* window = nullptr;
  if (data == nullptr ||
      data->findAndGetSequenceItem(DCM_GatedInformationSequence, gated, 0).bad() ||
      gated == nullptr ||
      gated->findAndGetSequenceItem(DCM_DataInformationSequence, window, 0).bad())
    return nullptr;
  return window;
}

}  // namespace

bool ReadHeaderFacts(const std::string& path, HeaderFacts& facts, std::string& error) {
  facts = HeaderFacts();
  DcmFileFormat file;
  OFCondition loaded = file.loadFileUntilTag(path.c_str(), EXS_Unknown, EGL_noChange,
                                             kMaxValueInMemory, ERM_autoDetect, DCM_PixelData);
  DcmItem* meta = file.getMetaInfo();
  DcmDataset* data = file.getDataset();
  facts.sourceAe = Text(meta, DCM_SourceApplicationEntityTitle);
  facts.sopClassUid = Text(data, DCM_SOPClassUID);
  facts.sopInstanceUid = Text(data, DCM_SOPInstanceUID);
  if (facts.sopClassUid.empty()) facts.sopClassUid = Text(meta, DCM_MediaStorageSOPClassUID);
  if (facts.sopInstanceUid.empty())
    facts.sopInstanceUid = Text(meta, DCM_MediaStorageSOPInstanceUID);
  facts.modality = Text(data, DCM_Modality);
  facts.studyInstanceUid = Text(data, DCM_StudyInstanceUID);
  facts.patientId = Text(data, DCM_PatientID);
  facts.patientName = Text(data, DCM_PatientName);
  facts.studyDate = Text(data, DCM_StudyDate);
  facts.studyTime = Text(data, DCM_StudyTime);
  facts.imageType = AllValues(data, DCM_ImageType);
  facts.studyDescription = Text(data, DCM_StudyDescription);
  facts.seriesDescription = Text(data, DCM_SeriesDescription);
  facts.seriesNumber = Text(data, DCM_SeriesNumber);
  facts.seriesTime = Text(data, DCM_SeriesTime);
  facts.specificCharacterSet = AllValues(data, DCM_SpecificCharacterSet);
  facts.transferSyntax = Text(meta, DCM_TransferSyntaxUID);
  if (facts.transferSyntax.empty() && data != nullptr)
    facts.transferSyntax = DcmXfer(data->getOriginalXfer()).getXferID();
  facts.numberOfFrames = AllValues(data, DCM_NumberOfFrames);
  facts.rows = UnsignedShort(data, DCM_Rows);
  facts.columns = UnsignedShort(data, DCM_Columns);
  facts.numberOfTimeSlots = UnsignedShort(data, DCM_NumberOfTimeSlots);
  facts.numberOfSlices = UnsignedShort(data, DCM_NumberOfSlices);
  DcmItem* window = DataInformation(data);
  facts.intervalsAcquired = Count(window, data, DCM_IntervalsAcquired);
  facts.intervalsRejected = Count(window, data, DCM_IntervalsRejected);
  if (loaded.bad()) error = loaded.text();
  return loaded.good();
}
