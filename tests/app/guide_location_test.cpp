// The guide is found beside the program or where packages keep documents.
#include "guide_location.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "test_support.h"

namespace {

TEST(GuideFolder, BesideTheProgramThenSharedDocumentation) {
  const struct {
    const char* besideFile;  // in bin/, or nullptr
    const char* docFile;     // in share/doc/dicom-data-converter/, or nullptr
    const char* found;       // relative to the tree
  } rows[] = {
      {"dicom.chm", "dicom.chm", "bin"},
      {"dicom.html", nullptr, "bin"},
      {nullptr, "dicom.html", "share/doc/dicom-data-converter"},
      {nullptr, "dicom.chm", "share/doc/dicom-data-converter"},
      {nullptr, nullptr, "bin"},  // nowhere: the warning names the program's folder
  };
  for (const auto& row : rows) {
    TempDir tree;
    const std::string bin = tree.File("bin"), doc = tree.File("share/doc/dicom-data-converter");
    ASSERT_EQ(::mkdir(bin.c_str(), 0755), 0);
    ASSERT_EQ(RunCommand("mkdir -p " + ShellQuote(doc)).exitCode, 0);
    if (row.besideFile) WriteBytes(bin + "/" + row.besideFile, "guide");
    if (row.docFile) WriteBytes(doc + "/" + row.docFile, "guide");
    EXPECT_EQ(GuideFolder(QString::fromStdString(bin)).toStdString(), tree.File(row.found))
        << (row.besideFile ? row.besideFile : "-") << " / " << (row.docFile ? row.docFile : "-");
  }
}

}  // namespace
