// Replays the inputs that once made a fuzz target fail, and the seed
// corpus kinds, through the same code the fuzz targets drive.
#include <dirent.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fuzz_inputs.h"
#include "test_support.h"

namespace {

// The saved inputs of a folder; a missing folder fails the test rather than
// passing it with nothing replayed.
std::vector<std::string> FilesIn(const std::string& folder) {
  std::vector<std::string> files;
  DIR* dir = ::opendir(folder.c_str());
  EXPECT_NE(dir, nullptr) << folder << " is missing";
  if (dir == nullptr) return files;
  while (dirent* entry = ::readdir(dir))
    if (entry->d_name[0] != '.') files.push_back(folder + "/" + entry->d_name);
  ::closedir(dir);
  return files;
}

bool IsLoadResult(int result) {
  return result == 0 || result == 1 || result == 4 || result == 8;
}

const std::string kRegressions = std::string(DGC_SOURCE_DIR) + "/fuzz/regressions";

TEST(FuzzRegressions, DicomInputsRunCleanly) {
  for (const std::string& path : FilesIn(kRegressions + "/dicom")) {
    std::string bytes = ReadBytes(path);
    EXPECT_TRUE(IsLoadResult(
        RunDicomLoadInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size())))
        << path;
  }
  // The generated studies go through the same path.
  for (const char* name : {"gated64", "gated128", "modality_ct", "jpeg_syntax", "pixel_short2"}) {
    std::string bytes = ReadBytes(DataFile(name));
    EXPECT_TRUE(IsLoadResult(
        RunDicomLoadInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size())))
        << name;
  }
}

TEST(FuzzRegressions, GsdInputsRunCleanly) {
  for (const std::string& path : FilesIn(kRegressions + "/gsd")) {
    std::string bytes = ReadBytes(path);
    RunGsdReaderInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
    // Returning at all is the check: the sanitizer build fails on anything else.
  }
}

}  // namespace
