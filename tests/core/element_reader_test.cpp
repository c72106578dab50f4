// The element header reader on crafted byte streams: one header per case,
// annotated byte by byte, and the Part 10 prefix check.
#include "core/element_reader.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "tests/test_support.h"

namespace {

std::string Tag(std::uint16_t group, std::uint16_t element) {
  return Le16(group) + Le16(element);
}

struct HeaderCase {
  const char* label;
  std::string bytes;  // the header (and any bytes after it)
  int result;
  const char* vr;  // "" for no VR
  std::int32_t length;
  long position;  // stream position after the header, from its start
  const char* entryName;
  VrForm form = VrForm::kGuess;
};

std::string VrText(VrCode vr) {
  if (vr == 0) return "";
  return std::string{static_cast<char>(vr >> 8), static_cast<char>(vr & 0xFF)};
}

const HeaderCase kHeaderCases[] = {
    {"explicit PN, 16-bit length 10", Tag(0x0010, 0x0010) + "PN" + Le16(10), 1, "PN", 10, 8,
     "Patient's Name"},
    {"explicit OW, reserved bytes, 32-bit length 8192",
     Tag(0x7FE0, 0x0010) + "OW" + Le16(0) + Le32(8192), 1, "OW", 8192, 12, "Pixel Data"},
    {"explicit OB with undefined length gives 0",
     Tag(0x7FE0, 0x0010) + "OB" + Le16(0) + Le32(0xFFFFFFFF), 1, "OB", 0, 12, "Pixel Data"},
    {"explicit SQ, defined length 200 gives 0", Tag(0x0054, 0x0062) + "SQ" + Le16(0) + Le32(200), 1,
     "SQ", 0, 12, "Gated Information Sequence"},
    {"explicit SQ, undefined length", Tag(0x0054, 0x0062) + "SQ" + Le16(0) + Le32(0xFFFFFFFF), 1,
     "SQ", 0, 12, "Gated Information Sequence"},
    {"implicit listed sequence (0054,0062) is entered", Tag(0x0054, 0x0062) + Le32(200), 1, "SQ", 0,
     8, "Gated Information Sequence"},
    {"implicit unlisted private tag keeps its length", Tag(0x0009, 0x1010) + Le32(200), 1, "", 200,
     8, "Unknown"},
    {"implicit Patient's Name has no VR", Tag(0x0010, 0x0010) + Le32(12), 1, "", 12, 8,
     "Patient's Name"},
    {"item of undefined length", Tag(0xFFFE, 0xE000) + Le32(0xFFFFFFFF), 1, "DL", 0, 8, "Item"},
    {"item of length 40", Tag(0xFFFE, 0xE000) + Le32(40), 1, "DL", 0, 8, "Item"},
    {"sequence delimiter", Tag(0xFFFE, 0xE0DD) + Le32(0), 1, "DL", 0, 8,
     "Sequence Delimitation Item"},
    {"explicit 16-bit length 40000 is unsigned", Tag(0x0008, 0x0020) + "DA" + Le16(40000), 1, "DA",
     40000, 8, "Study Date"},
    {"explicit 16-bit length 32767 stays", Tag(0x0008, 0x0020) + "DA" + Le16(32767), 1, "DA", 32767,
     8, "Study Date"},
    {"explicit UN: reserved bytes, then a 32-bit length",
     Tag(0x0009, 0x1010) + "UN" + Le16(0) + Le32(6), 1, "UN", 6, 12, "Unknown"},
    {"explicit UT: 32-bit length", Tag(0x0020, 0x4000) + "UT" + Le16(0) + Le32(70000), 1, "UT",
     70000, 12, "Image Comments"},
    {"explicit OF: 32-bit length", Tag(0x7FE0, 0x0008) + "OF" + Le16(0) + Le32(16), 1, "OF", 16, 12,
     "Unknown"},
    {"explicit UN of undefined length gives 0",
     Tag(0x0009, 0x1010) + "UN" + Le16(0) + Le32(0xFFFFFFFF), 1, "UN", 0, 12, "Unknown"},
    {"implicit length with negative 32-bit value gives 0", Tag(0x0009, 0x1010) + Le32(0x80000010),
     1, "", 0, 8, "Unknown"},
    {"implicit length 0x7FFFFFFF, the largest a long offset skips, stays",
     Tag(0x0009, 0x1010) + Le32(0x7FFFFFFF), 1, "", 0x7FFFFFFF, 8, "Unknown"},
    {"implicit length 0x80000000 gives 0", Tag(0x0009, 0x1010) + Le32(0x80000000), 1, "", 0, 8,
     "Unknown"},
    {"explicit UN of length 0x7FFFFFFF stays",
     Tag(0x0009, 0x1010) + "UN" + Le16(0) + Le32(0x7FFFFFFF), 1, "UN", 0x7FFFFFFF, 12, "Unknown"},
    {"implicit length 16705 (41 41 00 00): AA names no VR", Tag(0x0010, 0x0010) + Le32(16705), 1,
     "", 16705, 8, "Patient's Name"},
    {"implicit length whose low bytes spell PN, in an implicit data set",
     Tag(0x0010, 0x0010) + Le32(0x4E50), 1, "", 0x4E50, 8, "Patient's Name", VrForm::kImplicit},
    {"the meta group stays explicit in an implicit data set", Tag(0x0002, 0x0010) + "UI" + Le16(20),
     1, "UI", 20, 8, "Transfer Syntax UID", VrForm::kImplicit},
    {"explicit data set, bytes that name no VR read as implicit", Tag(0x0010, 0x0010) + Le32(12), 1,
     "", 12, 8, "Patient's Name", VrForm::kExplicit},
    {"item of length 16705 comes back with length 0", Tag(0xFFFE, 0xE000) + Le32(16705), 1, "DL", 0,
     8, "Item"},
    {"item whose length spells OB stays an item", Tag(0xFFFE, 0xE000) + "OB" + Le16(0), 1, "DL", 0,
     8, "Item", VrForm::kExplicit},
    {"letter-like length spelling OB reads four more bytes",
     Tag(0x0009, 0x1010) + "OB" + Le16(0) + Le32(24), 1, "OB", 24, 12, "Unknown"},
    {"letter-like length spelling SQ gives 0", Tag(0x0009, 0x1010) + "SQ" + Le16(0) + Le32(24), 1,
     "SQ", 0, 12, "Unknown"},
    {"explicit meta element of an implicit file", Tag(0x0002, 0x0010) + "UI" + Le16(20), 1, "UI",
     20, 8, "Transfer Syntax UID"},
    {"implicit Modality after an explicit meta group", Tag(0x0008, 0x0060) + Le32(2), 1, "", 2, 8,
     "Modality"},
    {"end of file at a header boundary", "", -1, "", 0, 0, ""},
    {"one byte of a group", std::string(1, '\x08'), -1, "", 0, 1, ""},
    {"cut after the group number", Le16(0x0008), -1, "", 0, 2, ""},
    {"cut inside the four bytes after the tag", Tag(0x0008, 0x0060) + "CS", -1, "", 0, 6, ""},
    {"cut inside the 32-bit length of OW", Tag(0x7FE0, 0x0010) + "OW" + Le16(0) + "\x01\x02", -1,
     "", 0, 10, ""},
};

class ReadElementHeaderTest : public testing::TestWithParam<HeaderCase> {};

TEST_P(ReadElementHeaderTest, DecodesTheHeader) {
  const HeaderCase& c = GetParam();
  TempDir dir;
  WriteBytes(dir.File("h"), c.bytes);
  std::FILE* stream = std::fopen(dir.File("h").c_str(), "rb");
  ASSERT_NE(stream, nullptr);
  DicomElement element{};
  EXPECT_EQ(ReadElementHeader(stream, element, c.form), c.result);
  if (c.result == 1) {
    EXPECT_EQ(VrText(element.vr), c.vr);
    EXPECT_EQ(element.length, c.length);
    EXPECT_EQ(std::ftell(stream), c.position);
    EXPECT_EQ(element.entry.group, element.group);
    EXPECT_EQ(element.entry.element, element.element);
    EXPECT_STREQ(element.entry.name, c.entryName);
  }
  std::fclose(stream);
}

INSTANTIATE_TEST_SUITE_P(Headers, ReadElementHeaderTest, testing::ValuesIn(kHeaderCases),
                         [](const testing::TestParamInfo<HeaderCase>& info) {
                           return "case" + std::to_string(info.index);
                         });

// An unlisted tag's entry is the element's own: neither a later header nor a
// reader on another stream rewrites it.
TEST(ReadElementHeader, AnUnlistedTagKeepsAnEntryOfItsOwn) {
  TempDir dir;
  WriteBytes(dir.File("h"), Tag(0x0009, 0x1010) + Le32(0) + Tag(0x0010, 0x0010) + Le32(0));
  WriteBytes(dir.File("other"), Tag(0x0011, 0x2020) + Le32(0));
  std::FILE* stream = std::fopen(dir.File("h").c_str(), "rb");
  std::FILE* other = std::fopen(dir.File("other").c_str(), "rb");
  DicomElement element{}, elsewhere{};
  ASSERT_EQ(ReadElementHeader(stream, element), 1);
  const DicomElement unlisted = element;
  ASSERT_EQ(ReadElementHeader(other, elsewhere), 1);
  EXPECT_EQ(elsewhere.entry.group, 0x0011u);
  EXPECT_EQ(elsewhere.entry.element, 0x2020u);
  ASSERT_EQ(ReadElementHeader(stream, element), 1);
  EXPECT_STREQ(element.entry.name, "Patient's Name");
  EXPECT_EQ(unlisted.entry.group, 0x0009u);
  EXPECT_EQ(unlisted.entry.element, 0x1010u);
  EXPECT_STREQ(unlisted.entry.name, "Unknown");
  EXPECT_STREQ(elsewhere.entry.name, "Unknown");
  std::fclose(other);
  std::fclose(stream);
}

TEST(SkipElementValue, MovesByTheLengthAndStaysForZero) {
  TempDir dir;
  WriteBytes(dir.File("h"), Tag(0x0009, 0x1010) + Le32(200) + std::string(200, 'x') +
                                Tag(0x0054, 0x0062) + Le32(16) + Tag(0x0010, 0x0010) + Le32(0));
  std::FILE* stream = std::fopen(dir.File("h").c_str(), "rb");
  DicomElement element{};
  ASSERT_EQ(ReadElementHeader(stream, element), 1);
  SkipElementValue(stream, element);
  EXPECT_EQ(std::ftell(stream), 208);
  ASSERT_EQ(ReadElementHeader(stream, element), 1);  // the sequence: entered
  SkipElementValue(stream, element);
  EXPECT_EQ(std::ftell(stream), 216);
  ASSERT_EQ(ReadElementHeader(stream, element), 1);
  EXPECT_EQ(element.group, 0x0010);
  EXPECT_EQ(ReadElementHeader(stream, element), -1);
  std::fclose(stream);
}

struct PrefixCase {
  const char* label;
  std::string bytes;
  bool accepted;
};

const PrefixCase kPrefixCases[] = {
    {"preamble and DICM", std::string(128, '\x7F') + "DICM", true},
    {"131 bytes", std::string(128, '\0') + "DIC", false},
    {"lower-case prefix", std::string(128, '\0') + "dicm", false},
    {"one byte off", std::string(128, '\0') + "DICN", false},
    {"DICM at offset 0 without preamble", "DICM" + std::string(200, '\0'), false},
    {"empty file", "", false},
};

TEST(OpenDicomFile, AcceptsOnlyDicmAfterThePreamble) {
  TempDir dir;
  for (const PrefixCase& c : kPrefixCases) {
    WriteBytes(dir.File("f"), c.bytes);
    std::FILE* stream = OpenDicomFile(dir.File("f").c_str());
    EXPECT_EQ(stream != nullptr, c.accepted) << c.label;
    if (stream) {
      EXPECT_EQ(std::ftell(stream), 132) << c.label;
      std::fclose(stream);
    }
  }
  EXPECT_EQ(OpenDicomFile(dir.File("missing").c_str()), nullptr);
  EXPECT_EQ(OpenDicomFile(dir.path().c_str()), nullptr);
}

}  // namespace
