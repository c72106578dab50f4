// Hostile input: every truncation of a small study, every header length
// field set to extreme values, extreme header numbers, deep nesting, and
// inputs that are not files. No input may crash, hang or write outside the
// store (the sanitizer build checks the latter).
#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/stat.h>
#endif

#include <cctype>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "core/element_reader.h"
#include "core/gated_loader.h"
#include "core/load_report.h"
#include "core/operator_question.h"
#include "model/study_state.h"
#include "tests/core/frame_path.h"
#include "tests/test_support.h"

namespace {

class MalformedInputTest : public FreshStateTest {};

bool IsLoadResult(int result) {
  return result == kLoadOk || result == kLoadFailed || result == kLoadPixelDataShort;
}

TEST_F(MalformedInputTest, EveryTruncationOfASmallStudyFails) {
  const std::string whole = ReadBytes(DataFile("band_row5"));
  TempDir dir;
  const std::string path = dir.File("cut.dcm");
  int shortResults = 0;
  for (std::size_t n = 0; n < whole.size(); ++n) {
    WriteBytes(path, whole.substr(0, n));
    int result = Load(path.c_str());
    ASSERT_TRUE(result == kLoadFailed || result == kLoadPixelDataShort)
        << "cut at " << n << ": " << result;
    shortResults += result == kLoadPixelDataShort;
  }
  EXPECT_EQ(shortResults, 8192) << "every cut inside the pixel data is a short read";
  WriteBytes(path, whole);
  EXPECT_EQ(Load(path.c_str()), kLoadOk);
}

struct LengthField {
  std::size_t offset;
  int width;  // 2 or 4 bytes
};

// Where each header's length lies, found by walking the file.
std::vector<LengthField> LengthFields(const std::string& path) {
  std::vector<LengthField> fields;
  std::FILE* stream = OpenDicomFile(path.c_str());
  std::string bytes = ReadBytes(path);
  DicomElement element{};
  for (long start = std::ftell(stream); ReadElementHeader(stream, element) == 1;
       start = std::ftell(stream)) {
    long end = std::ftell(stream);
    bool explicitShort =
        end - start == 8 &&
        std::isupper(static_cast<unsigned char>(bytes[static_cast<std::size_t>(start) + 4])) &&
        std::isupper(static_cast<unsigned char>(bytes[static_cast<std::size_t>(start) + 5]));
    fields.push_back(
        {static_cast<std::size_t>(explicitShort ? end - 2 : end - 4), explicitShort ? 2 : 4});
    if (element.group == 0x7FE0 && element.element == 0x0010) break;
    SkipElementValue(stream, element);
  }
  std::fclose(stream);
  return fields;
}

TEST_F(MalformedInputTest, EveryLengthFieldAtExtremeValues) {
  options.ask = [](const OperatorQuestion&) { return true; };
  const std::uint32_t values[] = {0, 1, 0x7FFF, 0x8000, 0xFFFF, 0x7FFFFFFF, 0xFFFFFFFF};
  TempDir dir;
  int loads = 0;
  for (const char* name : {"band_row5", "walk_implicit_undefined", "walk_explicit_defined"}) {
    const std::string original = ReadBytes(DataFile(name));
    std::vector<LengthField> fields = LengthFields(DataFile(name));
    ASSERT_GT(fields.size(), 20u) << name;
    for (const LengthField& field : fields) {
      for (std::uint32_t value : values) {
        std::string bytes = original;
        std::string encoded =
            field.width == 2 ? Le16(static_cast<std::uint16_t>(value)) : Le32(value);
        bytes.replace(field.offset, encoded.size(), encoded);
        WriteBytes(dir.File("m.dcm"), bytes);
        int result = Load(dir.File("m.dcm").c_str());
        ASSERT_TRUE(IsLoadResult(result)) << name << " field at " << field.offset << " = " << value;
        ++loads;
      }
    }
  }
  RecordProperty("loads", loads);
}

TEST_F(MalformedInputTest, ExtremeHeaderNumbers) {
  struct {
    const char* file;
    int result;
    const char* detail;
  } const cases[] = {
      {"rows_ffff", kLoadFailed, "matrix 65535 unsupported (64 or 128 only)"},
      // Number of Slices 4 stands in for a Number of Frames below 5.
      {"nf_minus1", kLoadFailed, "4 frames over 8 gates give no frames per gate"},
      {"nf_max", kLoadPixelDataShort,  // 32 frames of 2147483647
       "pixel data 17592185774080 bytes short (17592186036224 needed, 262144 present)"},
      {"slots_ffff", kLoadFailed,  // 65535 gates, not -1
       "65535 gates of 4 frames do not fit (at most 16 gates of 64 frames)"}};
  for (const auto& c : cases) {
    EXPECT_EQ(Load(DataFile(c.file).c_str()), c.result) << c.file;
    EXPECT_EQ(report.detail, c.detail) << c.file;
  }
}

// containers sequences and items of undefined length, each inside the one
// before, and their delimiters when closed.
std::string NestedSequences(int containers, bool closed) {
  const std::string sequence = Le16(0x0054) + Le16(0x0062) + "SQ" + Le16(0) + Le32(0xFFFFFFFF);
  const std::string item = Le16(0xFFFE) + Le16(0xE000) + Le32(0xFFFFFFFF);
  const std::string itemEnd = Le16(0xFFFE) + Le16(0xE00D) + Le32(0);
  const std::string sequenceEnd = Le16(0xFFFE) + Le16(0xE0DD) + Le32(0);
  std::string opened, ends;
  for (int i = 0; i < containers; ++i) {
    opened += i % 2 == 0 ? sequence : item;
    if (closed) ends.insert(0, i % 2 == 0 ? sequenceEnd : itemEnd);
  }
  return opened + ends;
}

// The walk keeps 64 containers open (dataset_walk.h); one more is refused.
TEST_F(MalformedInputTest, NestingBeyondTheWalksLimitIsRefused) {
  const struct {
    int containers;
    bool closed;
    int result;
    const char* detail;
  } cases[] = {
      {64, true, kLoadOk, ""},
      {65, true, kLoadFailed, "sequences nested too deep to walk"},
      {200000, false, kLoadFailed, "sequences nested too deep to walk"},
  };
  TempDir dir;
  for (const auto& c : cases) {
    const std::string body = Le16(0x0028) + Le16(0x0008) + "IS" + Le16(2) + "1 " + Le16(0x0028) +
                             Le16(0x0010) + "US" + Le16(2) + Le16(64) +
                             NestedSequences(c.containers, c.closed) + Le16(0x7FE0) + Le16(0x0010) +
                             "OW" + Le16(0) + Le32(8192) + std::string(8192, '\x01');
    WriteBytes(dir.File("deep.dcm"), Part10(body));
    EXPECT_EQ(Load(dir.File("deep.dcm").c_str()), c.result) << c.containers;
    EXPECT_EQ(report.detail, c.detail) << c.containers;
  }
}

// An RLE frame of 64 x 64 zeros: two segments of runs of 128, 127 and 1
// bytes, each followed by padding bytes that no run uses.
std::string RleZeroFrame(std::size_t padding = 0) {
  std::string segment;
  for (int run = 0; run < 31; ++run) segment += std::string("\x81\0", 2);  // 128 zeros
  segment += std::string("\x82\0", 2);                                     // 127 zeros
  segment += std::string("\0\0", 2);                                       // 1 literal zero
  segment += std::string(padding, '\0');
  std::string header = Le32(2) + Le32(64) + Le32(64 + static_cast<std::uint32_t>(segment.size()));
  header.resize(64, '\0');
  return header + segment + segment;
}

std::string RleFragments(const std::string& frame) {
  return Le16(0x7FE0) + Le16(0x0010) + "OB" + Le16(0) + Le32(0xFFFFFFFF) + Le16(0xFFFE) +
         Le16(0xE000) + Le32(0) + Le16(0xFFFE) + Le16(0xE000) +
         Le32(static_cast<std::uint32_t>(frame.size())) + frame + Le16(0xFFFE) + Le16(0xE0DD) +
         Le32(0);
}

// Junk after "DICM" is refused where it starts, however large the file; a
// real file with one element out of place still reads. What readers take
// differently is refused: an item that a sequence delimiter closes (after
// it one reader is back at the top level, another still in the sequence,
// and a Pixel Data hidden there is one reader's pixels but not the other's),
// and a second top-level Pixel Data.
TEST_F(MalformedInputTest, TheWalkStopsAtJunkAndAtTheEndOfTheFile) {
  auto text = [](std::uint16_t group, std::uint16_t element, const char* vr, std::string value) {
    return Le16(group) + Le16(element) + vr + Le16(static_cast<std::uint16_t>(value.size())) +
           value;
  };
  const std::string rows = text(0x0028, 0x0010, "US", Le16(64));
  const std::string frames = text(0x0028, 0x0008, "IS", "1 ");
  const std::string pixels =
      Le16(0x7FE0) + Le16(0x0010) + "OW" + Le16(0) + Le32(8192) + std::string(8192, '\x01');
  const std::string rle = text(0x0002, 0x0010, "UI", std::string("1.2.840.10008.1.2.5", 20));
  const std::string fragments = RleFragments(RleZeroFrame());
  const std::string image =
      rows + text(0x0028, 0x0011, "US", Le16(64)) + text(0x0028, 0x0100, "US", Le16(16)) + frames;
  // A sequence whose item ends with the sequence's delimiter; the next
  // sequence delimiter closes the sequence for a reader still inside it.
  const std::string sequenceEnd = Le16(0xFFFE) + Le16(0xE0DD) + Le32(0);
  const std::string itemClosedBySequenceEnd =
      Le16(0x0054) + Le16(0x0062) + "SQ" + Le16(0) + Le32(0xFFFFFFFF) + Le16(0xFFFE) +
      Le16(0xE000) + Le32(0xFFFFFFFF) + text(0x0018, 0x1088, "IS", "60") + sequenceEnd;
  // Pixel Data whose header begins at byte at of a sparse file, after a
  // private value of zeros that reaches it.
  auto pixelsAt = [&](long long at) {
    const std::string head = Part10(rows + frames) + Le16(0x0029) + Le16(0x1010) + "OB" + Le16(0);
    return head + Le32(static_cast<std::uint32_t>(at - static_cast<long long>(head.size()) - 4));
  };
  TempDir dir;
  struct {
    const char* name;
    std::string bytes;
    long long sparseSize;  // grown with zeros to this size, unwritten
    std::string tail;      // then written there
    int result;
    const char* detail;
  } const cases[] = {
      {"1 GiB of zeros", Part10(""), 1LL << 30, "", kLoadFailed,
       "no DICOM data set from byte 132 on: the element tags stop ascending, (0000,0000) at "
       "byte 156"},
      {"one element out of place", Part10(rows + frames + pixels), 0, "", kLoadOk, ""},
      {"a value past the end", Part10(Le16(0x0010) + Le16(0x0010) + "PN" + Le16(1000) + "ANON"), 0,
       "", kLoadFailed,
       "the element (0010,0010) at byte 132 claims 1000 bytes, past the end of the file"},
      {"the largest length a long offset skips",
       Part10(Le16(0x0009) + Le16(0x1010) + "UN" + Le16(0) + Le32(0x7FFFFFFF) + "ANON"), 0, "",
       kLoadFailed,
       "the element (0009,1010) at byte 132 claims 2147483647 bytes, past the end of the file"},
      // The pixel values' offset is passed on as int32.
      {"pixel values at byte 0x7FFFFFFF", pixelsAt(0x7FFFFFF3), 0x7FFFFFF3, pixels, kLoadOk, ""},
      {"Pixel Data at byte 0x7FFFFFFF", pixelsAt(0x7FFFFFFF), 0x7FFFFFFF, pixels, kLoadFailed,
       "the Pixel Data element lies beyond 2 GiB"},
      {"Pixel Data at byte 0x80000000", pixelsAt(0x80000000), 0x80000000, pixels, kLoadFailed,
       "no Pixel Data element in the first 2 GiB of the file"},
      {"raw pixels hidden after an item closed by a sequence delimiter",
       Part10(rows + frames + itemClosedBySequenceEnd + pixels + sequenceEnd + pixels), 0, "",
       kLoadFailed,
       "a Sequence Delimitation Item (FFFE,E0DD) at byte 182 closes an item, which only an Item "
       "Delimitation Item (FFFE,E00D) closes"},
      {"RLE frames behind raw pixels hidden after an item closed by a sequence delimiter",
       Part10(rle + image + itemClosedBySequenceEnd + pixels + sequenceEnd + fragments), 0, "",
       kLoadFailed,
       "a Sequence Delimitation Item (FFFE,E0DD) at byte 230 closes an item, which only an Item "
       "Delimitation Item (FFFE,E00D) closes"},
      {"raw pixels twice", Part10(rows + frames + pixels + pixels), 0, "", kLoadFailed,
       "a second Pixel Data (7FE0,0010) at byte 8356, after the one at byte 152"},
      {"RLE frames behind raw pixels", Part10(rle + image + pixels + fragments), 0, "", kLoadFailed,
       "a second Pixel Data (7FE0,0010) at byte 8404, after the one at byte 200"},
      {"raw pixels behind RLE frames", Part10(rle + image + fragments + pixels), 0, "", kLoadFailed,
       "a second Pixel Data (7FE0,0010) at byte 432, after the one at byte 200"},
      {"RLE frames", Part10(rle + image + fragments), 0, "", kLoadOk, ""},
      // The last run of each plane ends 16 bytes before its segment does: no
      // byte past the plane is written (the frame path's 16-byte moves).
      {"RLE segments longer than their runs", Part10(rle + image + RleFragments(RleZeroFrame(16))),
       0, "", kLoadOk, ""},
  };
  for (const auto& c : cases) {
    const std::string path = dir.File("junk.dcm");
    WriteBytes(path, c.bytes);
    if (c.sparseSize > 0) {
      std::error_code error;
      std::filesystem::resize_file(std::filesystem::u8path(path),
                                   static_cast<std::uintmax_t>(c.sparseSize), error);
      ASSERT_FALSE(error) << error.message();
    }
    if (!c.tail.empty()) {
      std::FILE* file = std::fopen(path.c_str(), "ab");
      ASSERT_NE(file, nullptr);
      ASSERT_EQ(std::fwrite(c.tail.data(), 1, c.tail.size(), file), c.tail.size());
      std::fclose(file);
    }
    EXPECT_EQ(Load(path.c_str()), c.result) << c.name;
    EXPECT_EQ(report.detail, c.detail) << c.name;
    // The decoder helper walks an encapsulated file by the same rules.
    if (c.bytes.find("1.2.840.10008.1.2.5") != std::string::npos) {
      const FramePathRun frames = RunFramePath(c.bytes);
      EXPECT_EQ(frames.outcome.result, c.result == kLoadOk
                                           ? FrameDecodeOutcome::kWritten
                                           : FrameDecodeOutcome::kFailedBeforeOutput)
          << c.name;
      EXPECT_EQ(frames.outcome.why, c.detail) << c.name;
    }
  }
}

TEST_F(MalformedInputTest, ThingsThatAreNotDicomFiles) {
  TempDir dir;
  WriteBytes(dir.File("prefix.dcm"), Part10(""));
  struct Case {
    std::string path;
    const char* detail;
  };
  std::vector<Case> cases = {
      {dir.File("prefix.dcm"), "the file ends before its Pixel Data element"},
      {dir.path(), "is a directory"},
      {"", "No such file or directory"}};
#ifdef _WIN32
  cases.push_back({"NUL", "is not a regular file"});
#else
  ASSERT_EQ(::mkfifo(dir.File("fifo").c_str(), 0600), 0);
  cases.push_back({dir.File("fifo"), "is not a regular file"});  // never waits for a writer
  cases.push_back({"/dev/null", "is not a regular file"});
#endif
  for (const auto& c : cases) {
    EXPECT_EQ(Load(c.path.c_str()), kLoadFailed) << c.path;
    EXPECT_EQ(report.detail, c.detail) << c.path;
  }
}

}  // namespace
