#include "gsd/gsd_writer.h"

#include <charconv>
#include <cstdio>
#include <cstring>
#include <optional>
#include <utility>
#include <vector>

#include "gsd/gsd_format.h"
#include "gsd/gsd_reader.h"
#include "gsd/gsd_stream.h"
#include "gsd/sanitize_token.h"
#include "output/output_file.h"
#include "platform/file_identity.h"

namespace {

// printf's "%W.Pf" without the process locale: the separator is always ".".
std::string FixedPoint(double value, int width, int precision) {
  char buffer[400];
  auto result =
      std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, precision);
  std::string text(buffer, result.ptr);
  if (static_cast<int>(text.size()) < width)
    text.insert(0, static_cast<std::size_t>(width) - text.size(), ' ');
  return text;
}

std::string Sanitized(const char* text) {
  std::vector<char> buffer(std::strlen(text) + 1);
  SanitizeToken(text, buffer.data());
  return buffer.data();
}

using HeaderFields = std::vector<std::pair<const char*, std::string>>;

// The header's "key = value;" lines, in file order.
HeaderFields FieldsOf(const TStudyRecord& record) {
  HeaderFields fields;
  fields.emplace_back("id", Sanitized(record.patientId));
  fields.emplace_back("name", Sanitized(record.patientName));
  // Date and time come from the file or the operator like any text: a
  // control byte in them must not end or break the header.
  fields.emplace_back("date", Sanitized(record.studyDate));
  fields.emplace_back("time", Sanitized(record.studyTime));
  fields.emplace_back("sex", record.sex);
  // Strict comparisons: a NaN writes nothing, nor do 30 cm and 3 kg.
  if (record.height > 30.0f) fields.emplace_back("height", FixedPoint(record.height, 8, 4));
  if (record.weight > 3.0f) fields.emplace_back("weight", FixedPoint(record.weight, 8, 4));
  if (record.tracer[0] != '\0') fields.emplace_back("tracer", Sanitized(record.tracer));
  if (record.comment[0] != '\0') fields.emplace_back("comment", Sanitized(record.comment));
  fields.emplace_back("matrix", std::to_string(kFrameSide));
  fields.emplace_back("pixel", FixedPoint(record.pixelSize, 16, 10));
  fields.emplace_back("thick", FixedPoint(record.sliceThickness, 16, 10));
  fields.emplace_back("hr", std::to_string(record.heartRate));
  fields.emplace_back("division", std::to_string(record.gateCount));
  fields.emplace_back("frames", std::to_string(record.frameCount));
  fields.emplace_back("order", "little");
  return fields;
}

std::string Compose(const HeaderFields& fields) {
  std::string header = kGsdIdentifier;
  header += kGsdLineEnd;
  for (const auto& [key, value] : fields) {
    header += key;
    header += " = ";
    // The header is text with CR LF line ends: a line feed inside a value
    // is one too (and the header then does not read back).
    for (char c : value) {
      if (c == '\n') header += '\r';
      header += c;
    }
    header += ';';
    header += kGsdLineEnd;
  }
  header += kGsdTerminator;
  return header;
}

}  // namespace

std::string ComposeGsdHeader(const TStudyRecord& record) {
  return Compose(FieldsOf(record));
}

std::vector<std::pair<std::string, std::string>> GsdHeaderFields(const TStudyRecord& record) {
  std::vector<std::pair<std::string, std::string>> fields;
  for (auto& [key, value] : FieldsOf(record)) fields.emplace_back(key, std::move(value));
  return fields;
}

bool GsdHeaderReadsBack(const TStudyRecord& record, std::string& error) {
  const HeaderFields written = FieldsOf(record);
  std::string header = Compose(written);
  MemoryReader in(header);
  GsdFile file;
  if (!ReadGsdHeader(in, file, error)) {
    error = "the header would not read back: " + error;
    return false;
  }
  for (std::size_t i = 0; i < written.size(); ++i) {
    if (i < file.fields.size() && file.fields[i].first == written[i].first &&
        file.fields[i].second == written[i].second)
      continue;
    error = std::string("the header would not read back: the \"") + written[i].first +
            "\" value would read otherwise";
    return false;
  }
  if (file.fields.size() != written.size() || file.headerBytes != header.size()) {
    error = "the header would not read back: it would hold other lines";
    return false;
  }
  return true;
}

bool WriteGsdStream(std::FILE* out, const Study& study, bool baseToApex) {
  const TStudyRecord& record = study.record;
  std::string header = ComposeGsdHeader(record);
  if (std::fwrite(header.data(), 1, header.size(), out) != header.size()) return false;
  int gates = record.gateCount > 1 ? record.gateCount : 1;
  int frames = record.frameCount;
  if (frames > 0 && !study.frames.Held()) return false;
  for (int g = 0; g < gates; ++g) {
    for (int i = 0; i < frames; ++i) {
      int f = baseToApex ? i : frames - 1 - i;
      if (std::fwrite(study.frames.Slot(g, f), kGsdFrameBytes, 1, out) != 1) return false;
    }
  }
  return std::fflush(out) == 0;
}

int WriteGsdFile(const char* path, const Study& study, bool baseToApex, std::string& error,
                 const OutputOptions& options) {
  error.clear();
  const TStudyRecord& record = study.record;
  if (record.gateCount > kStoreGates || record.frameCount > kStoreFramesPerGate) {
    error = std::to_string(record.gateCount) + " gates of " + std::to_string(record.frameCount) +
            " frames exceed the store (" + StoreLimitText() + ")";
    return kGsdNotWritten;
  }
  if (!study.frames.Held()) {
    error = "no frames in memory";
    return kGsdNotWritten;
  }
  if (!GsdHeaderReadsBack(record, error)) return kGsdNotWritten;
  // The input is refused by what the writer finds at the output's name when
  // it opens it, not by an earlier look that a rename could overtake.
  std::optional<ProtectedFile> input;
  if (study.source) input = ProtectedFile{*study.source, study.sourceName};
  int result = WriteOutputFile(
      path, [&](std::FILE* out) { return WriteGsdStream(out, study, baseToApex); },
      input ? &*input : nullptr, error, options);
  return result == kOutputWritten ? kGsdWritten : kGsdNotWritten;
}

bool OutputIsTheInput(const char* output, const Study& study, std::string& error) {
  if (!study.source || IdentityOfPath(output) != study.source) return false;
  error = "it is the input file " + study.sourceName + "; not overwritten";
  return true;
}
