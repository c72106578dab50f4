#include "element_reader.h"

#include <sys/stat.h>

#include <cstring>

DictionaryEntry UnknownEntry = {0, 0, 0, "Unknown"};

namespace {

std::uint16_t Le16(const unsigned char* b) {
  return static_cast<std::uint16_t>(b[0] | (b[1] << 8));
}

std::int32_t Le32(const unsigned char* b) {
  std::uint32_t v = static_cast<std::uint32_t>(b[0]) | (static_cast<std::uint32_t>(b[1]) << 8) |
                    (static_cast<std::uint32_t>(b[2]) << 16) |
                    (static_cast<std::uint32_t>(b[3]) << 24);
  return static_cast<std::int32_t>(v);
}

bool IsUpperLetter(unsigned char c) {
  return c >= 'A' && c <= 'Z';
}

std::int32_t NonNegative(std::int32_t v) {
  return v < 0 ? 0 : v;
}

}  // namespace

std::FILE* OpenDicomFile(const char* path) {
  // Only a regular file is read: opening a FIFO would wait for a writer, and
  // the pixel data are read by a second open that a pipe cannot serve.
  struct stat info;
  if (::stat(path, &info) != 0 || !S_ISREG(info.st_mode)) return nullptr;
  std::FILE* stream = std::fopen(path, "rb");
  if (stream == nullptr) return nullptr;
  std::fseek(stream, 128, SEEK_SET);
  char prefix[4];
  if (std::fread(prefix, sizeof prefix, 1, stream) != 1 || std::memcmp(prefix, "DICM", 4) != 0) {
    std::fclose(stream);
    return nullptr;
  }
  return stream;
}

int ReadElementHeader(std::FILE* stream, DicomElement& element) {
  unsigned char tag[4];
  unsigned char b[4];
  if (std::fread(tag, 1, 2, stream) != 2) return -1;
  // A header cut short after its group is treated like the end of the file:
  // the caller gets either a whole header or -1.
  if (std::fread(tag + 2, 1, 2, stream) != 2) return -1;
  if (std::fread(b, 1, 4, stream) != 4) return -1;

  element.group = Le16(tag);
  element.element = Le16(tag + 2);
  element.vr = 0;
  element.length = NonNegative(Le32(b));  // implicit reading first
  if (IsUpperLetter(b[0]) && IsUpperLetter(b[1])) {
    element.vr = MakeVr(static_cast<char>(b[0]), static_cast<char>(b[1]));
    // The explicit 16-bit length is read signed: 32768 and more give 0.
    element.length = NonNegative(static_cast<std::int16_t>(Le16(b + 2)));
  }

  element.entry = LookupAttribute(element.group, element.element);
  if (element.entry == nullptr) {
    UnknownEntry = {element.group, element.element, element.vr, "Unknown"};
    element.entry = &UnknownEntry;
  }

  if (element.vr != 0) {
    if (element.vr == kVrOB || element.vr == kVrOW || element.vr == kVrSQ) {
      // Two reserved bytes, then the real 32-bit length.
      unsigned char wide[4];
      if (std::fread(wide, 1, 4, stream) != 4) return -1;
      element.length = NonNegative(Le32(wide));
      if (element.vr == kVrSQ) element.length = 0;
    }
  } else if (element.entry->vr == kVrSQ || element.entry->vr == kVrDL) {
    element.vr = element.entry->vr;
    element.length = 0;
  }
  return 1;
}

void SkipElementValue(std::FILE* stream, const DicomElement& element) {
  if (element.length != 0) std::fseek(stream, element.length, SEEK_CUR);
}
