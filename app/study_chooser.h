// The window's folder choice: the scan under a progress dialog, and the
// list of the studies found to pick one from. DesktopServices shows them.
#pragma once

#include <QString>
#include <optional>
#include <vector>

#include "scan/tree_scan.h"

class QWidget;

// Runs the scan on a thread of its own (the header facts touch no
// process-wide state) while a progress dialog counts the files; its Cancel
// stops the scan and gives nothing.
std::optional<TreeScanResult> ScanUnderProgressDialog(QWidget* parent, const QString& path);

// A modal table of the studies, the first selected; a double click or OK
// picks one.
std::optional<std::size_t> PickStudyFromTable(QWidget* parent,
                                              const std::vector<StudyFacts>& studies);
