// The attribute table: its shape, the rows that steer the element reader,
// and the lookup rules.
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>

#include "core/attribute_dictionary.h"

namespace {

std::string VrText(VrCode vr) {
  return std::string{static_cast<char>(vr >> 8), static_cast<char>(vr & 0xFF)};
}

struct GroupCount {
  std::uint32_t group;
  int rows;
};

const GroupCount kGroupCounts[] = {
    {0x0000, 34},  {0x0002, 10}, {0x0004, 17}, {0x0008, 96}, {0x0010, 34},
    {0x0018, 188}, {0x0020, 50}, {0x0028, 51}, {0x0032, 26}, {0x0038, 22},
    {0x0054, 50},  {0x0088, 3},  {0x2000, 8},  {0x2010, 16}, {0x2020, 8},
    {0x2030, 3},   {0x2040, 9},  {0x2100, 7},  {0x2110, 4},  {0x4000, 3},
    {0x4008, 28},  {0x5000, 23}, {0x6000, 24}, {0x7FE0, 2},  {0xFFFE, 3},
};

struct Row {
  std::uint16_t group, element;
  const char* vr;
  const char* name;
};

// Every sequence, item/delimiter and raw-data row, exactly.
const Row kFixedRows[] = {
    {0x0002, 0x0001, "OB", "File Meta Information Version"},
    {0x0002, 0x0102, "OB", "Private Information"},
    {0x0004, 0x1220, "SQ", "Directory Record Sequence"},
    {0x0008, 0x0082, "SQ", "Institution Code Sequence"},
    {0x0008, 0x1032, "SQ", "Procedure Code Sequence"},
    {0x0008, 0x1084, "SQ", "Admitting Diagnosis Code Sequence"},
    {0x0008, 0x1100, "SQ", "Referenced Results Sequence"},
    {0x0008, 0x1110, "SQ", "Referenced Study Sequence"},
    {0x0008, 0x1111, "SQ", "Referenced Study Component Sequence"},
    {0x0008, 0x1115, "SQ", "Referenced Series Sequence"},
    {0x0008, 0x1120, "SQ", "Referenced Patient Sequence"},
    {0x0008, 0x1125, "SQ", "Referenced Visit Sequence"},
    {0x0008, 0x1130, "SQ", "Referenced Overlay Sequence"},
    {0x0008, 0x1140, "SQ", "Referenced Image Sequence"},
    {0x0008, 0x1145, "SQ", "Referenced Curve Sequence"},
    {0x0008, 0x1198, "SQ", "Failed SOP Sequence"},
    {0x0008, 0x1199, "SQ", "Referenced SOP Sequence"},
    {0x0008, 0x2112, "SQ", "Source Image Sequence"},
    {0x0008, 0x2218, "SQ", "Anatomic Region Sequence"},
    {0x0008, 0x2220, "SQ", "Anatomic Region Modifier Sequence"},
    {0x0008, 0x2228, "SQ", "Primary Anatomic Structure Sequence"},
    {0x0008, 0x2229, "SQ", "Anatomic Structure, Space or Region Sequence"},
    {0x0008, 0x2230, "SQ", "Primary Anatomic Structure Modifier Sequence"},
    {0x0008, 0x2240, "SQ", "Transducer Position Sequence"},
    {0x0008, 0x2242, "SQ", "Transducer Position Modifier Sequence"},
    {0x0008, 0x2244, "SQ", "Transducer Orientation Sequence"},
    {0x0008, 0x2246, "SQ", "Transducer Orientation Modifier Sequence"},
    {0x0010, 0x0050, "SQ", "Patient's Insurance Plan Code Sequence"},
    {0x0018, 0x0026, "SQ", "Intervention Drug Information Sequence"},
    {0x0018, 0x0029, "SQ", "Intervention Drug code Sequence"},
    {0x0018, 0x6011, "SQ", "Sequence of Ultrasound Regions"},
    {0x0028, 0x3000, "SQ", "Modality LUT Sequence"},
    {0x0028, 0x3010, "SQ", "VOI LUT Sequence"},
    {0x0032, 0x1064, "SQ", "Requested Procedure Code Sequence"},
    {0x0038, 0x0004, "SQ", "Referenced Patient Alias Sequence"},
    {0x0038, 0x0044, "SQ", "Discharge Diagnosis Code Sequence"},
    {0x0054, 0x0012, "SQ", "Energy Window Information Sequence"},
    {0x0054, 0x0013, "SQ", "Energy Window Range Sequence"},
    {0x0054, 0x0016, "SQ", "Radiopharmaceutical Information Sequence"},
    {0x0054, 0x0022, "SQ", "Detector Information Sequence"},
    {0x0054, 0x0032, "SQ", "Phase Information Sequence"},
    {0x0054, 0x0052, "SQ", "Rotation Information Sequence"},
    {0x0054, 0x0062, "SQ", "Gated Information Sequence"},
    {0x0054, 0x0063, "SQ", "Data Information Sequence"},
    {0x0054, 0x0072, "SQ", "Time Slot Information Sequence"},
    {0x0054, 0x0220, "SQ", "View Code Sequence"},
    {0x0054, 0x0222, "SQ", "View Angulation Modifier Code Sequence"},
    {0x0054, 0x0300, "SQ", "Radionuclide Code Sequence"},
    {0x0054, 0x0302, "SQ", "Administration Route Code Sequence"},
    {0x0054, 0x0304, "SQ", "Radiopharmaceutical Code Sequence"},
    {0x0054, 0x0306, "SQ", "Calibration Data Sequence"},
    {0x0054, 0x0410, "SQ", "Patient Orientation Code Sequence"},
    {0x0054, 0x0412, "SQ", "Patient Orientation Modifier Code Sequence"},
    {0x0054, 0x0414, "SQ", "Patient Gantry Relationship Code Sequence"},
    {0x2000, 0x0500, "SQ", "Referenced Film Box Sequence"},
    {0x2010, 0x0500, "SQ", "Referenced Film Session Sequence"},
    {0x2010, 0x0510, "SQ", "Referenced Basic Image Box Sequence"},
    {0x2010, 0x0520, "SQ", "Referenced Basic Annotation Box Sequence"},
    {0x2020, 0x0110, "SQ", "Preformatted Greyscale Image Sequence"},
    {0x2020, 0x0111, "SQ", "Preformatted Color Image Sequence"},
    {0x2020, 0x0130, "SQ", "Referenced Image Overlay Box Sequence"},
    {0x2020, 0x0140, "SQ", "Referenced VOI LUT Sequence"},
    {0x2040, 0x0010, "SQ", "Referenced Overlay Plane Sequence"},
    {0x2040, 0x0500, "SQ", "Referenced Image Box Sequence"},
    {0x2100, 0x0500, "SQ", "Referenced Print Job Sequence"},
    {0x4008, 0x0050, "SQ", "Referenced Interpretation Sequence"},
    {0x4008, 0x0111, "SQ", "Interpretation Approver Sequence"},
    {0x4008, 0x0117, "SQ", "Diagnosis Code Sequence"},
    {0x4008, 0x0118, "SQ", "Results Distribution List Sequence"},
    {0x5000, 0x200C, "OX", "Audio Sample Data"},
    {0x5000, 0x3000, "OX", "Curve Data"},
    {0x6000, 0x3000, "OW", "Overlay Data"},
    {0x7FE0, 0x0010, "OX", "Pixel Data"},
    {0xFFFE, 0xE000, "DL", "Item"},
    {0xFFFE, 0xE00D, "DL", "Item Delimitation Item"},
    {0xFFFE, 0xE0DD, "DL", "Sequence Delimitation Item"},
};

// Rows named as examples of the data dictionary.
const Row kNamedExamples[] = {
    {0x0008, 0x0010, "SH", "Recognition Code"},    {0x0020, 0x0030, "DS", "Image Position"},
    {0x0028, 0x0005, "US", "Image Dimensions"},    {0x0010, 0x0010, "PN", "Patient's Name"},
    {0x0018, 0x1088, "IS", "Heart Rate"},          {0x0054, 0x0081, "US", "Number of Slices"},
    {0x0018, 0x1130, "DS", "Table Height"},        {0x0018, 0x1030, "LO", "Protocol Name"},
    {0x0002, 0x0010, "UI", "Transfer Syntax UID"}, {0x0000, 0x0000, "UL", "Group 0000 Length"},
    {0x0008, 0x0000, "UL", "Group 0008 Length"},   {0x0054, 0x0000, "UL", "Group Length"},
};

}  // namespace

TEST(AttributeDictionary, HasTheRowsOfEachGroupInAscendingGroupOrder) {
  std::map<std::uint32_t, int> counts;
  std::uint32_t previousGroup = 0;
  std::set<std::uint32_t> tags;
  int rows = 0;
  for (const DictionaryEntry* row = AttributeDictionary; row->vr != 0; ++row, ++rows) {
    EXPECT_GE(row->group, previousGroup) << "groups out of order at row " << rows;
    previousGroup = row->group;
    ++counts[row->group];
    EXPECT_TRUE(tags.insert(row->group << 16 | row->element).second) << "duplicate tag";
    ASSERT_NE(row->name, nullptr);
  }
  EXPECT_EQ(rows, kAttributeCount);
  const DictionaryEntry& end = AttributeDictionary[kAttributeCount];
  EXPECT_TRUE(end.group == 0 && end.element == 0 && end.vr == 0 && end.name == nullptr);
  ASSERT_EQ(counts.size(), std::size(kGroupCounts));
  for (const GroupCount& g : kGroupCounts)
    EXPECT_EQ(counts[g.group], g.rows) << std::hex << g.group;
}

TEST(AttributeDictionary, EveryGroupButItemsStartsWithItsGroupLength) {
  for (const GroupCount& g : kGroupCounts) {
    if (g.group == 0xFFFE) continue;
    const DictionaryEntry* row = LookupAttribute(static_cast<std::uint16_t>(g.group), 0);
    ASSERT_NE(row, nullptr) << std::hex << g.group;
    EXPECT_EQ(VrText(row->vr), "UL");
  }
}

TEST(AttributeDictionary, OnlyTheFixedRowsCarrySequenceItemOrRawDataVrs) {
  std::set<std::uint32_t> fixed;
  for (const Row& r : kFixedRows) fixed.insert(std::uint32_t{r.group} << 16 | r.element);
  for (const DictionaryEntry* row = AttributeDictionary; row->vr != 0; ++row) {
    std::string vr = VrText(row->vr);
    bool special = vr == "SQ" || vr == "DL" || vr == "OB" || vr == "OW" || vr == "OX";
    EXPECT_EQ(special, fixed.count(row->group << 16 | row->element) == 1)
        << std::hex << row->group << "," << row->element << " " << vr;
  }
}

class DictionaryRowTest : public testing::TestWithParam<Row> {};

TEST_P(DictionaryRowTest, LookupGivesTheRow) {
  const Row& expected = GetParam();
  const DictionaryEntry* row = LookupAttribute(expected.group, expected.element);
  ASSERT_NE(row, nullptr);
  EXPECT_EQ(row->group, expected.group);
  EXPECT_EQ(row->element, expected.element);
  EXPECT_EQ(VrText(row->vr), expected.vr);
  EXPECT_STREQ(row->name, expected.name);
}

INSTANTIATE_TEST_SUITE_P(FixedRows, DictionaryRowTest, testing::ValuesIn(kFixedRows));
INSTANTIATE_TEST_SUITE_P(NamedExamples, DictionaryRowTest, testing::ValuesIn(kNamedExamples));

TEST(LookupAttribute, MatchesExactTagsOnly) {
  struct Missing {
    std::uint16_t group, element;
  } const missing[] = {{0x6002, 0x3000}, {0x5002, 0x3000}, {0x0009, 0x0010},
                       {0x0012, 0x0000}, {0x0088, 0x0200}, {0x0009, 0x1010}};
  for (auto m : missing)
    EXPECT_EQ(LookupAttribute(m.group, m.element), nullptr)
        << std::hex << m.group << "," << m.element;
  EXPECT_EQ(LookupAttribute(0x0000, 0x0000), &AttributeDictionary[0]);
  EXPECT_EQ(LookupAttribute(0xFFFE, 0xE0DD), &AttributeDictionary[kAttributeCount - 1]);
}
