#include "scan/dicomdir.h"

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmdata/dcsequen.h>

#include "platform/input_file.h"

namespace {

// A Referenced File ID's components joined by '/', or "" when one of them
// could name something outside the folder.
std::string RelativePath(const OFString& fileId) {
  std::string path, part;
  const std::string text = fileId.c_str();
  for (std::size_t i = 0; i <= text.size(); ++i) {
    if (i < text.size() && text[i] != '\\') {
      part += text[i];
      continue;
    }
    while (!part.empty() && part.back() == ' ') part.pop_back();
    if (part.empty() || part == "." || part == ".." || part.find('/') != std::string::npos)
      return {};
    path += (path.empty() ? "" : "/") + part;
    part.clear();
  }
  return path;
}

}  // namespace

bool ListDicomdirFiles(int fd, std::vector<std::string>& relativePaths, std::string& error) {
  const std::string self = NameOfOpenFile(fd);
  DcmFileFormat file;
  OFCondition loaded = file.loadFile(self.c_str());
  if (loaded.bad()) {
    error = loaded.text();
    return false;
  }
  DcmSequenceOfItems* records = nullptr;
  if (file.getDataset()->findAndGetSequence(DCM_DirectoryRecordSequence, records).bad() ||
      records == nullptr) {
    error = "no Directory Record Sequence";
    return false;
  }
  // The records stand in one flat sequence, linked by offsets: every one
  // that references a file counts, whatever its place in the hierarchy.
  for (unsigned long i = 0; i < records->card(); ++i) {
    OFString fileId;
    if (records->getItem(i)->findAndGetOFStringArray(DCM_ReferencedFileID, fileId).bad()) continue;
    std::string path = RelativePath(fileId);
    if (!path.empty()) relativePaths.push_back(path);
  }
  return true;
}
