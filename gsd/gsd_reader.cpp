#include "gsd/gsd_reader.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "gsd/gsd_format.h"
#include "model/study_state.h"
#include "model/value_text.h"
#include "platform/input_file.h"

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
// A count as the writer prints it: "-" or digits, never "+" or a blank.
bool ParseInt(const std::string& text, int& value) {
  if (text.empty() || text[0] == '+') return false;
  std::optional<std::int32_t> parsed = ParseStrictInteger(text);
  if (!parsed) return false;
  value = *parsed;
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

std::size_t GsdFile::FrameDataBytes() const {
  return static_cast<std::size_t>(Gates()) * static_cast<std::size_t>(frames) * kGsdFrameBytes;
}

std::size_t GsdFile::FrameOffset(int gate, int index) const {
  return (static_cast<std::size_t>(gate) * static_cast<std::size_t>(frames) +
          static_cast<std::size_t>(index)) *
         kFrameValues;
}

const std::int16_t* GsdFile::Frame(int gate, int index) const {
  return values.data() + FrameOffset(gate, index);
}

void GsdFile::KeepFrame(int gate, int index, const std::int16_t* frame) {
  std::copy(frame, frame + kFrameValues,
            values.begin() + static_cast<std::ptrdiff_t>(FrameOffset(gate, index)));
}

namespace {

// How ReadHeaderLine ended.
enum class LineEnd { kLine, kEndOfFile, kTooLong, kReadError };

// Reads one CR LF line into line, without its ending. readError holds the
// errno value of a failed read.
LineEnd ReadHeaderLine(ByteReader& in, std::string& line, std::size_t& consumed, int& readError) {
  line.clear();
  for (;;) {
    const int c = in.Get();
    if (c < 0) {
      if (in.Error() == 0) return LineEnd::kEndOfFile;
      readError = in.Error();
      return LineEnd::kReadError;
    }
    if (++consumed > kGsdMaxHeaderBytes) return LineEnd::kTooLong;
    if (c == '\n' && !line.empty() && line.back() == '\r') {
      line.pop_back();
      return LineEnd::kLine;
    }
    line += static_cast<char>(c);
  }
}

bool CheckHeader(GsdFile& file, std::string& error) {
  for (const char* key : kRequiredKeys)
    if (file.Field(key) == nullptr)
      return Bad(error, std::string("header has no \"") + key + "\" line");
  const std::string side = std::to_string(kFrameSide);
  if (*file.Field("matrix") != side) return Bad(error, "matrix is not " + side);
  if (*file.Field("order") != "little") return Bad(error, "order is not little");
  if (!ParseInt(*file.Field("division"), file.division))
    return Bad(error, "division is not a whole number");
  if (!ParseInt(*file.Field("frames"), file.frames))
    return Bad(error, "frames is not a whole number");
  if (file.division < 0) return Bad(error, "division " + *file.Field("division") + " is negative");
  if (file.frames < 0) return Bad(error, "frames " + *file.Field("frames") + " is negative");
  if (file.Gates() > kStoreGates)
    return Bad(error, "division " + std::to_string(file.division) + " is beyond " +
                          std::to_string(kStoreGates) + " gates");
  if (file.frames > kStoreFramesPerGate)
    return Bad(error, "frames " + std::to_string(file.frames) + " is beyond " +
                          std::to_string(kStoreFramesPerGate) + " frames per gate");
  return true;
}

std::string SizeText(const GsdFile& file) {
  return std::to_string(file.Gates()) + " gates of " + std::to_string(file.frames) +
         " frames need " + std::to_string(file.FrameDataBytes());
}

}  // namespace

bool ReadGsdHeader(std::FILE* in, GsdFile& file, std::string& error) {
  StreamReader reader(in);
  return ReadGsdHeader(reader, file, error);
}

bool ReadGsdHeader(ByteReader& in, GsdFile& file, std::string& error) {
  file = GsdFile{};
  std::string line;
  std::size_t consumed = 0;
  for (int lineNumber = 1;; ++lineNumber) {
    int readError = 0;
    switch (ReadHeaderLine(in, line, consumed, readError)) {
      case LineEnd::kLine:
        break;
      case LineEnd::kReadError:
        return Bad(error, std::string("cannot read: ") + std::strerror(readError));
      case LineEnd::kTooLong:
        return Bad(error, "header longer than " + std::to_string(kGsdMaxHeaderBytes) +
                              " bytes with no 0x0C 0x0D 0x0A terminator");
      case LineEnd::kEndOfFile:
        if (consumed == 0) return Bad(error, "the file is empty");
        return Bad(error, "header line " + std::to_string(lineNumber) +
                              " has no CR LF ending (no 0x0C 0x0D 0x0A terminator found)");
    }
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
    if (eq == std::string::npos || line.back() != ';' || !IsKey(line.substr(0, eq)))
      return Bad(error, "header line " + std::to_string(lineNumber) +
                            " is not of the form \"key = value;\"");
    std::string key = line.substr(0, eq);
    if (file.Field(key) != nullptr)
      return Bad(error,
                 "header line " + std::to_string(lineNumber) + " repeats the key \"" + key + "\"");
    file.fields.emplace_back(key, line.substr(eq + 3, line.size() - eq - 4));
  }
  file.headerBytes = consumed;
  return CheckHeader(file, error);
}

bool ReadGsdFrames(std::FILE* in, const GsdFile& file, const GsdFrameSink& sink,
                   std::string& error) {
  StreamReader reader(in);
  return ReadGsdFrames(reader, file, sink, error);
}

bool ReadGsdFrames(ByteReader& in, const GsdFile& file, const GsdFrameSink& sink,
                   std::string& error) {
  unsigned char bytes[kGsdFrameBytes];
  std::int16_t values[kGsdFrameBytes / 2];
  std::size_t present = 0;
  for (int g = 0; g < file.Gates(); ++g) {
    for (int f = 0; f < file.frames; ++f) {
      std::size_t got = in.Read(bytes, sizeof bytes);
      present += got;
      if (got != sizeof bytes) {
        if (in.Error() != 0)
          return Bad(error,
                     std::string("cannot read the frame data: ") + std::strerror(in.Error()));
        return Bad(error,
                   "frame data hold " + std::to_string(present) + " bytes; " + SizeText(file));
      }
      for (std::size_t i = 0; i < kGsdFrameBytes / 2; ++i)
        values[i] = static_cast<std::int16_t>(bytes[2 * i] | bytes[2 * i + 1] << 8);
      sink(g, f, values);
    }
  }
  if (in.Get() >= 0)
    return Bad(error, "frame data hold more than " + std::to_string(present) + " bytes; " +
                          SizeText(file));
  if (in.Error() != 0) return Bad(error, "read error after the frame data");
  return true;
}

namespace {

bool ReadWholeStream(ByteReader& in, GsdFile& file, std::string& error) {
  if (!ReadGsdHeader(in, file, error)) return false;
  file.values.resize(file.FrameDataBytes() / 2);
  return ReadGsdFrames(
      in, file,
      [&file](int gate, int index, const std::int16_t* values) {
        file.KeepFrame(gate, index, values);
      },
      error);
}

}  // namespace

bool ParseGsd(const std::string& bytes, GsdFile& file, std::string& error) {
  MemoryReader in(bytes);
  return ReadWholeStream(in, file, error);
}

std::FILE* OpenGsdInput(const char* path, std::string& error) {
  // A FIFO without a writer does not hold the open; reads then wait for
  // data as usual.
  std::FILE* in = nullptr;
  if (int failed = OpenReadableStream(path, in))
    Bad(error, std::string("cannot open: ") + std::strerror(failed));
  return in;
}

bool ReadGsdFile(const char* path, GsdFile& file, std::string& error) {
  std::FILE* in = OpenGsdInput(path, error);
  if (in == nullptr) return false;
  StreamReader reader(in);
  bool ok = ReadWholeStream(reader, file, error);
  std::fclose(in);
  return ok;
}
