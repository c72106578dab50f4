#include "core/element_reader.h"

#include <cstring>

#include "platform/input_file.h"

namespace {

std::uint16_t Le16(const unsigned char* b) {
  return static_cast<std::uint16_t>(b[0] | (b[1] << 8));
}

std::uint32_t Le32(const unsigned char* b) {
  return static_cast<std::uint32_t>(b[0]) | (static_cast<std::uint32_t>(b[1]) << 8) |
         (static_cast<std::uint32_t>(b[2]) << 16) | (static_cast<std::uint32_t>(b[3]) << 24);
}

// Numbers of a header in the byte order of its data set.
struct ByteOrder {
  bool big;
  std::uint16_t U16(const unsigned char* b) const {
    return big ? static_cast<std::uint16_t>((b[0] << 8) | b[1]) : Le16(b);
  }
  std::uint32_t U32(const unsigned char* b) const {
    return big ? (static_cast<std::uint32_t>(b[0]) << 24) |
                     (static_cast<std::uint32_t>(b[1]) << 16) |
                     (static_cast<std::uint32_t>(b[2]) << 8) | b[3]
               : Le32(b);
  }
};

bool ReadsExplicit(VrForm form, std::uint16_t group, VrCode letters) {
  if (group == 0xFFFE) return false;               // items and delimiters never carry a VR
  if (group == 0x0002) return IsKnownVr(letters);  // the meta group is explicit
  return form != VrForm::kImplicit && IsKnownVr(letters);
}

}  // namespace

// A length of 2 GiB or more cannot be skipped with a long offset on every
// platform.
std::int32_t SkippableLength(std::uint32_t declared) {
  return declared > 0x7FFFFFFFu ? 0 : static_cast<std::int32_t>(declared);
}

std::FILE* OpenDicomFile(const char* path) {
  // Only a regular file is read: opening a FIFO would wait for a writer.
  std::FILE* stream = nullptr;
  if (OpenRegularFileStream(path, stream) != 0) return nullptr;
  std::fseek(stream, 128, SEEK_SET);
  char prefix[4];
  if (std::fread(prefix, sizeof prefix, 1, stream) != 1 || std::memcmp(prefix, "DICM", 4) != 0) {
    std::fclose(stream);
    return nullptr;
  }
  return stream;
}

int ReadElementHeader(std::FILE* stream, DicomElement& element, VrForm form) {
  unsigned char tag[4];
  unsigned char b[4];
  if (std::fread(tag, 1, 2, stream) != 2) return -1;
  // A header cut short after its group is treated like the end of the file:
  // the caller gets either a whole header or -1.
  if (std::fread(tag + 2, 1, 2, stream) != 2) return -1;
  if (std::fread(b, 1, 4, stream) != 4) return -1;

  // The meta group stays little endian in a big-endian file; no data set
  // uses group 0200, whose big-endian bytes would read as 0002 here.
  const ByteOrder order{form == VrForm::kExplicitBigEndian && Le16(tag) != 0x0002};
  element.group = order.U16(tag);
  element.element = order.U16(tag + 2);
  VrCode letters = MakeVr(static_cast<char>(b[0]), static_cast<char>(b[1]));
  if (ReadsExplicit(form, element.group, letters)) {
    element.vr = letters;
    if (HasLongLength(letters)) {
      // Two reserved bytes, then the real 32-bit length.
      unsigned char wide[4];
      if (std::fread(wide, 1, 4, stream) != 4) return -1;
      element.declaredLength = order.U32(wide);
    } else {
      element.declaredLength = order.U16(b + 2);  // unsigned: up to 65535
    }
  } else {
    element.vr = 0;
    element.declaredLength = order.U32(b);
  }
  element.length = SkippableLength(element.declaredLength);

  const DictionaryEntry* listed = LookupAttribute(element.group, element.element);
  element.entry = listed != nullptr
                      ? *listed
                      : DictionaryEntry{element.group, element.element, element.vr, "Unknown"};

  if (element.vr == kVrSQ) {
    element.length = 0;
  } else if (element.vr == 0 && (element.entry.vr == kVrSQ || element.entry.vr == kVrDL)) {
    element.vr = element.entry.vr;
    element.length = 0;
  }
  return 1;
}

void SkipElementValue(std::FILE* stream, const DicomElement& element) {
  if (element.length != 0) std::fseek(stream, element.length, SEEK_CUR);
}
