// Where the operator's guide (dicom.chm, dicom.html) is: beside the
// program, as a build keeps it; else where an install puts it, under the
// documentation (share/doc/dicom-data-converter beside bin/) or, for a
// system that leaves out share/doc, share/dicom-data-converter.
#pragma once

#include <QString>

// The folder holding the guide for a program in programFolder; the program's
// own folder when neither holds it (the warning then names it there).
QString GuideFolder(const QString& programFolder);
