// Replays the inputs that once made a fuzz target fail, and the seed
// corpus kinds, through the same code the fuzz targets drive.
#include <dirent.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fuzz_inputs.h"
#include "test_support.h"

namespace {

std::vector<std::string> FilesIn(const std::string& folder) {
  std::vector<std::string> files;
  if (DIR* dir = ::opendir(folder.c_str())) {
    while (dirent* entry = ::readdir(dir))
      if (entry->d_name[0] != '.') files.push_back(folder + "/" + entry->d_name);
    ::closedir(dir);
  }
  return files;
}

const std::string kRegressions = std::string(DGC_SOURCE_DIR) + "/fuzz/regressions";

TEST(FuzzRegressions, DicomInputsRunCleanly) {
  for (const std::string& path : FilesIn(kRegressions + "/dicom")) {
    std::string bytes = ReadBytes(path);
    RunDicomLoadInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
  }
  // The generated studies go through the same path.
  for (const char* name : {"gated64", "gated128", "modality_ct", "jpeg_syntax", "pixel_short2"}) {
    std::string bytes = ReadBytes(DataFile(name));
    RunDicomLoadInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
  }
}

TEST(FuzzRegressions, GsdInputsRunCleanly) {
  for (const std::string& path : FilesIn(kRegressions + "/gsd")) {
    std::string bytes = ReadBytes(path);
    RunGsdReaderInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
  }
}

}  // namespace
