#include "app/guide_location.h"

#include <QDir>
#include <QFileInfo>

QString GuideFolder(const QString& programFolder) {
  const QString candidates[] = {
      programFolder,
      QDir::cleanPath(programFolder + "/../share/doc/dicom-data-converter"),
      QDir::cleanPath(programFolder + "/../share/dicom-data-converter"),
  };
  for (const QString& folder : candidates)
    if (QFileInfo(folder + "/dicom.chm").isFile() || QFileInfo(folder + "/dicom.html").isFile())
      return folder;
  return programFolder;
}
