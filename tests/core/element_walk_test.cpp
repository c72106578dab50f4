// Walks files written by pydicom and DCMTK with the element reader and checks
// the (group, element) stream against DCMTK's own listing, up to Pixel Data.
#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "core/dataset_walk.h"
#include "core/element_reader.h"
#include "core/transfer_syntax.h"
#include "tests/test_support.h"

namespace {

using TagList = std::vector<std::string>;

std::string TagText(unsigned group, unsigned element) {
  char text[16];
  std::snprintf(text, sizeof text, "%04x,%04x", group, element);
  return text;
}

// The walk as the header scan makes it: the transfer syntax fixes the VR
// form, and it ends at the top-level Pixel Data.
TagList WalkWithReader(const std::string& path) {
  TagList tags;
  std::FILE* stream = OpenDicomFile(path.c_str());
  if (stream == nullptr) return tags;
  DatasetWalk walk(stream);
  DicomElement element{};
  while (walk.Next(element) == 1) {
    tags.push_back(TagText(element.group, element.element));
    if (element.group == 0x7FE0 && element.element == 0x0010 && walk.AtTopLevel()) break;
    if (element.group == 0x0002 && element.element == 0x0010) {
      std::string uid(static_cast<std::size_t>(element.length), '\0');
      if (std::fread(&uid[0], 1, uid.size(), stream) != uid.size()) break;
      while (!uid.empty() && (uid.back() == '\0' || uid.back() == ' ')) uid.pop_back();
      walk.UseForm(FindTransferSyntax(uid).form);
      continue;
    }
    SkipElementValue(stream, element);
  }
  std::fclose(stream);
  return tags;
}

// dcmdump lists every header in file order; delimiters it adds only for
// re-encoding are not in the file.
TagList ListWithDcmdump(const std::string& path) {
  TagList tags;
  CommandResult dump = RunCommand("dcmdump " + ShellQuote(path));
  std::istringstream lines(dump.output);
  std::string line;
  while (std::getline(lines, line)) {
    std::size_t open = line.find_first_not_of(' ');
    if (open == std::string::npos || line[open] != '(' || line.size() < open + 11 ||
        line[open + 5] != ',' || line[open + 10] != ')' ||
        line.find("re-encod") != std::string::npos)
      continue;
    tags.push_back(line.substr(open + 1, 9));
    if (tags.back() == "7fe0,0010" && open == 0) break;
  }
  return tags;
}

class ElementWalkTest : public testing::TestWithParam<const char*> {};

TEST_P(ElementWalkTest, MeetsEveryHeaderThatDcmdumpLists) {
  std::string path = DataFile(GetParam());
  TagList expected = ListWithDcmdump(path);
  ASSERT_GT(expected.size(), 10u) << "dcmdump listed nothing for " << path;
  ASSERT_EQ(expected.back(), "7fe0,0010");
  EXPECT_EQ(WalkWithReader(path), expected);
}

INSTANTIATE_TEST_SUITE_P(Producers, ElementWalkTest,
                         testing::Values("gated64", "gated64_implicit", "walk_explicit_undefined",
                                         "walk_explicit_defined", "walk_implicit_undefined",
                                         "walk_implicit_defined", "dcmtk_explicit", "un_elements",
                                         "un_elements_implicit", "icon64_16bit", "icon64_8bit",
                                         "icon_implicit_undefined", "heart_with_un"));

}  // namespace
