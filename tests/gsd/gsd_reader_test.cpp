// The strict GSD reader accepts what the writer writes and names what is
// wrong with anything else.
#include "gsd_reader.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "gsd_writer.h"
#include "test_support.h"

namespace {

std::string ValidFile(int gates, int frames) {
  TStudyRecord record{};
  std::strcpy(record.sex, "F");
  record.gateCount = static_cast<std::int16_t>(gates);
  record.frameCount = frames;
  return ComposeGsdHeader(record) +
         std::string(static_cast<std::size_t>(gates > 1 ? gates : 1) * frames * 8192, '\0');
}

std::string Replace(std::string text, const std::string& from, const std::string& to) {
  std::size_t at = text.find(from);
  if (at != std::string::npos) text.replace(at, from.size(), to);
  return text;
}

struct MalformedCase {
  const char* label;
  std::string bytes;
  const char* reason;  // a part of the error text
};

TEST(ParseGsd, AcceptsTheWritersOutput) {
  GsdFile file;
  std::string error;
  ASSERT_TRUE(ParseGsd(ValidFile(2, 3), file, error)) << error;
  EXPECT_EQ(file.Gates(), 2);
  EXPECT_EQ(file.frames, 3);
  EXPECT_EQ(*file.Field("sex"), "F");
  EXPECT_EQ(*file.Field("pixel"), "    0.0000000000");
  ASSERT_TRUE(ParseGsd(ValidFile(0, 0), file, error)) << error;
  EXPECT_TRUE(file.values.empty());
}

TEST(ParseGsd, RejectsMalformedFiles) {
  const std::string good = ValidFile(2, 1);
  const MalformedCase cases[] = {
      {"empty", "", "no CR LF"},
      {"wrong identifier", Replace(good, "tulvex", "tulvey"), "identifier"},
      {"LF line ends", Replace(good, "id = ;\r\n", "id = ;\n"), "bare LF"},
      {"no terminator", good.substr(0, good.find('\x0C')), "no CR LF"},
      {"missing semicolon", Replace(good, "hr = 0;", "hr = 0"), "key = value"},
      {"upper-case key", Replace(good, "hr = 0;", "HR = 0;"), "key = value"},
      {"missing key", Replace(good, "hr = 0;\r\n", ""), "no \"hr\""},
      {"matrix 128", Replace(good, "matrix = 64;", "matrix = 128;"), "matrix"},
      {"big endian", Replace(good, "order = little;", "order = big;"), "order"},
      {"division not a number", Replace(good, "division = 2;", "division = two;"), "division"},
      {"one byte short", good.substr(0, good.size() - 1), "need 16384"},
      {"one byte long", good + "x", "need 16384"},
      {"17 gates", Replace(good, "division = 2;", "division = 17;"), "beyond 16 gates"},
      {"65 frames", Replace(good, "frames = 1;", "frames = 65;"), "beyond 64 frames"},
  };
  for (const MalformedCase& c : cases) {
    GsdFile file;
    std::string error;
    EXPECT_FALSE(ParseGsd(c.bytes, file, error)) << c.label;
    EXPECT_NE(error.find(c.reason), std::string::npos) << c.label << ": " << error;
  }
}

TEST(ReadGsdFile, NamesAMissingFile) {
  GsdFile file;
  std::string error;
  EXPECT_FALSE(ReadGsdFile("/nonexistent/x.gsd", file, error));
  EXPECT_NE(error.find("cannot open"), std::string::npos);
}

}  // namespace
