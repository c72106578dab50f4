// Where the operator's guide (dicom.chm, dicom.html) is installed: beside
// the program, as a build and a plain install keep it, or where Debian
// packages keep documentation, share/doc/dicom-data-converter beside bin/.
#pragma once

#include <QString>

// The folder holding the guide for a program in programFolder; the program's
// own folder when neither holds it (the warning then names it there).
QString GuideFolder(const QString& programFolder);
