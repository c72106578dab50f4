// The guide is found beside the program, or where packages keep documents,
// or under share/ for systems that drop share/doc.
#include "app/guide_location.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "tests/test_support.h"

namespace {

TEST(GuideFolder, BesideTheProgramThenSharedDocumentationThenSharedData) {
  const struct {
    const char* besideFile;  // in bin/, or nullptr
    const char* docFile;     // in share/doc/dicom-data-converter/, or nullptr
    const char* dataFile;    // in share/dicom-data-converter/, or nullptr
    const char* found;       // relative to the tree
  } rows[] = {
      {"dicom.chm", "dicom.chm", "dicom.chm", "bin"},
      {"dicom.html", nullptr, nullptr, "bin"},
      {nullptr, "dicom.html", "dicom.html", "share/doc/dicom-data-converter"},
      {nullptr, "dicom.chm", nullptr, "share/doc/dicom-data-converter"},
      // A system that drops /usr/share/doc keeps the copy under share/.
      {nullptr, nullptr, "dicom.chm", "share/dicom-data-converter"},
      {nullptr, nullptr, "dicom.html", "share/dicom-data-converter"},
      {nullptr, nullptr, nullptr, "bin"},  // nowhere: the warning names the program's folder
  };
  for (const auto& row : rows) {
    TempDir tree;
    const std::string bin = tree.File("bin"), doc = tree.File("share/doc/dicom-data-converter"),
                      data = tree.File("share/dicom-data-converter");
    ASSERT_EQ(::mkdir(bin.c_str(), 0755), 0);
    ASSERT_EQ(RunCommand("mkdir -p " + ShellQuote(doc) + " " + ShellQuote(data)).exitCode, 0);
    if (row.besideFile) WriteBytes(bin + "/" + row.besideFile, "guide");
    if (row.docFile) WriteBytes(doc + "/" + row.docFile, "guide");
    if (row.dataFile) WriteBytes(data + "/" + row.dataFile, "guide");
    EXPECT_EQ(GuideFolder(QString::fromStdString(bin)).toStdString(), tree.File(row.found))
        << (row.besideFile ? row.besideFile : "-") << " / " << (row.docFile ? row.docFile : "-")
        << " / " << (row.dataFile ? row.dataFile : "-");
  }
}

}  // namespace
