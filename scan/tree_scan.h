// Finds the NM studies under folders, DICOMDIRs and single files: a
// DICOMDIR's files first, then every other file of its folder tree, each
// read up to its pixel data only. Hostile trees are walked safely: every
// name resolves beneath the path given (a link that leads out is named and
// passed over), links are followed only to folders not seen yet, only
// regular files are opened (never a FIFO or a device), another file system
// is entered only when asked, the kernel's own (proc, sysfs, devtmpfs)
// never, and the depth is bounded.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "scan/study_facts.h"

constexpr int kMaxScanDepth = 32;

struct ScanOptions {
  bool acceptNonNm = false;
  // Enter folders on other file systems than the path given (mounts below
  // it), as find does without -xdev.
  bool crossDevices = false;
  // Called after each file read, with the files read so far and the studies
  // found; false stops the scan (cancel).
  std::function<bool(long long files, std::size_t studies)> progress;
};

struct TreeScanResult {
  std::vector<StudyFacts> studies;  // NM studies, each SOP Instance UID once
  // "PATH: reason", one per file or folder, without controls (TerminalText):
  // every front end prints them to a terminal.
  std::vector<std::string> unreadable;
  long long filesRead = 0;
  bool cancelled = false;
};

// Scans each path: a folder (recursively; a DICOMDIR in it is followed
// first), a DICOMDIR file, or a single DICOM file.
TreeScanResult ScanTrees(const std::vector<std::string>& paths, const ScanOptions& options);
