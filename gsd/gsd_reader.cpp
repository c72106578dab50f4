#include "gsd_reader.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>

#include "gsd_format.h"

namespace {

const char* const kRequiredKeys[] = {"id",    "name",  "date", "time",     "sex",    "matrix",
                                     "pixel", "thick", "hr",   "division", "frames", "order"};

bool IsKey(const std::string& key) {
  if (key.empty()) return false;
  for (char c : key)
    if (c < 'a' || c > 'z') return false;
  return true;
}

// A whole decimal integer with an optional leading "-", nothing else.
bool ParseInt(const std::string& text, int& value) {
  if (text.empty() || text.size() > 11) return false;
  std::size_t i = text[0] == '-' ? 1 : 0;
  if (i == text.size()) return false;
  long long v = 0;
  for (; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    v = v * 10 + (text[i] - '0');
  }
  if (text[0] == '-') v = -v;
  if (v < INT32_MIN || v > INT32_MAX) return false;
  value = static_cast<int>(v);
  return true;
}

bool Bad(std::string& error, const std::string& why) {
  error = why;
  return false;
}

}  // namespace

const std::string* GsdFile::Field(const std::string& key) const {
  for (const auto& field : fields)
    if (field.first == key) return &field.second;
  return nullptr;
}

const std::int16_t* GsdFile::Frame(int gate, int index) const {
  return values.data() + (static_cast<std::size_t>(gate) * frames + index) * 4096;
}

bool ParseGsd(const std::string& bytes, GsdFile& file, std::string& error) {
  file = GsdFile{};
  std::size_t pos = 0;
  int lineNumber = 0;
  for (;;) {
    std::size_t end = bytes.find(kGsdLineEnd, pos);
    ++lineNumber;
    if (end == std::string::npos)
      return Bad(error, "header line " + std::to_string(lineNumber) +
                            " has no CR LF ending (no 0x0C 0x0D 0x0A terminator found)");
    std::string line = bytes.substr(pos, end - pos);
    pos = end + 2;
    if (line.find('\n') != std::string::npos)
      return Bad(error, "header line " + std::to_string(lineNumber) + " contains a bare LF");
    if (lineNumber == 1) {
      if (line != kGsdIdentifier)
        return Bad(error,
                   "first line is not the GSD identifier \"" + std::string(kGsdIdentifier) + "\"");
      continue;
    }
    if (line == "\x0C") break;
    std::size_t eq = line.find(" = ");
    if (eq == std::string::npos || line.empty() || line.back() != ';' || !IsKey(line.substr(0, eq)))
      return Bad(error, "header line " + std::to_string(lineNumber) +
                            " is not of the form \"key = value;\"");
    file.fields.emplace_back(line.substr(0, eq), line.substr(eq + 3, line.size() - eq - 4));
  }
  file.headerBytes = pos;

  for (const char* key : kRequiredKeys)
    if (file.Field(key) == nullptr)
      return Bad(error, std::string("header has no \"") + key + "\" line");
  if (*file.Field("matrix") != "64") return Bad(error, "matrix is not 64");
  if (*file.Field("order") != "little") return Bad(error, "order is not little");
  if (!ParseInt(*file.Field("division"), file.division))
    return Bad(error, "division is not a whole number");
  if (!ParseInt(*file.Field("frames"), file.frames))
    return Bad(error, "frames is not a whole number");

  unsigned long long frames = file.frames > 0 ? static_cast<unsigned long long>(file.frames) : 0;
  unsigned long long expected =
      static_cast<unsigned long long>(file.Gates()) * frames * kGsdFrameBytes;
  unsigned long long present = bytes.size() - file.headerBytes;
  if (present != expected)
    return Bad(error, "frame data hold " + std::to_string(present) + " bytes; " +
                          std::to_string(file.Gates()) + " gates of " + std::to_string(frames) +
                          " frames need " + std::to_string(expected));
  file.values.resize(present / 2);
  if (present > 0) std::memcpy(file.values.data(), bytes.data() + file.headerBytes, present);
  if (file.frames < 0) file.frames = 0;
  return true;
}

bool ReadGsdFile(const char* path, GsdFile& file, std::string& error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return Bad(error, std::string("cannot open: ") + std::strerror(errno));
  std::ostringstream content;
  content << in.rdbuf();
  if (in.bad()) return Bad(error, "read error");
  return ParseGsd(content.str(), file, error);
}
