// dicom2gsd's folder mode: the NM studies under folders, DICOMDIRs and
// files, listed, and with an output folder converted one child dicom2gsd
// each (a hostile file harms only its own child), several at once.
#pragma once

#include <string>
#include <vector>

struct FolderOptions {
  std::vector<std::string> paths;
  std::string out;  // empty: list only
  std::string nameTemplate = "%i_%d_%t_%u.gsd";
  std::string report;  // JSON lines, one per study; empty: none
  int jobs = 0;        // 0: one per core
  bool dryRun = false;
  bool crossDevices = false;  // enter mounts below a path
  bool acceptNonNm = false;
  // The single-file options, passed to every conversion.
  std::vector<std::string> converterOptions;
};

// Returns the exit status: 0, or the worst conversion's (1 failed or
// declined, 4 short, 8 no memory).
int RunFolderMode(const FolderOptions& options);
