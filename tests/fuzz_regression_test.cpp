// Replays the inputs that once made a fuzz target fail, and the seed
// corpus kinds, through the same code the fuzz targets drive.
#include <dirent.h>
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "core/gated_loader.h"
#include "core/load_report.h"
#include "fuzz/fuzz_inputs.h"
#include "gsd/gsd_reader.h"
#include "tests/test_support.h"

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
  return result == kLoadOk || result == kLoadFailed || result == kLoadPixelDataShort ||
         result == kLoadNoMemory;
}

const std::string kRegressions = std::string(DGC_SOURCE_DIR) + "/fuzz/regressions";

class FuzzRegressionsTest : public FreshStateTest {
 protected:
  int LoadInput(const std::string& bytes) {
    return RunDicomLoadInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size(),
                             &report);
  }
};

TEST_F(FuzzRegressionsTest, DicomInputsRunCleanly) {
  for (const std::string& path : FilesIn(kRegressions + "/dicom"))
    EXPECT_TRUE(IsLoadResult(LoadInput(ReadBytes(path)))) << path;
  // The generated studies go through the same path: the second load answers
  // Yes, and the decoder is off.
  const struct {
    const char* name;
    int result;
    const char* detail;
  } studies[] = {
      {"gated64", kLoadOk, ""},
      {"gated128", kLoadOk, ""},
      {"modality_ct", kLoadOk, ""},
      {"jpeg_syntax", kLoadFailed,
       "cannot decode transfer syntax 1.2.840.10008.1.2.4.70 (JPEG Lossless, First-Order "
       "Prediction): the decoder is switched off"},
      {"pixel_short2", kLoadPixelDataShort,
       "pixel data 2 bytes short (98304 needed, 98302 present)"},
  };
  for (const auto& c : studies) {
    EXPECT_EQ(LoadInput(ReadBytes(DataFile(c.name))), c.result) << c.name;
    EXPECT_EQ(report.detail, c.detail) << c.name;
  }
}

// Each saved GSD input is refused for what it is; gsdinfo's checks agree
// with the reader's (RunGsdReaderInput aborts otherwise). A new file here
// needs its row.
TEST_F(FuzzRegressionsTest, GsdInputsRunCleanly) {
  const struct {
    const char* file;
    const char* reason;
  } inputs[] = {
      {"division-2147483647", "division 2147483647 is beyond 16 gates"},
      {"size-overflow-division-1073741824", "division 1073741824 is beyond 16 gates"},
  };
  std::set<std::string> listed;
  for (const auto& c : inputs) {
    listed.insert(c.file);
    const std::string bytes = ReadBytes(kRegressions + "/gsd/" + c.file);
    ASSERT_FALSE(bytes.empty()) << c.file << " is missing";
    EXPECT_FALSE(
        RunGsdReaderInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()))
        << c.file;
    GsdFile file;
    std::string error;
    EXPECT_FALSE(ParseGsd(bytes, file, error)) << c.file;
    EXPECT_EQ(error, c.reason) << c.file;
  }
  for (const std::string& path : FilesIn(kRegressions + "/gsd")) {
    const std::string name = path.substr(path.rfind('/') + 1);
    EXPECT_EQ(listed.count(name), 1u) << path << " has no row with its reason";
  }
}

}  // namespace
