#include "form/patient_identity.h"

#include <cstring>
#include <optional>

#include "form/character_set.h"
#include "gsd/gsd_writer.h"

namespace {

constexpr const char kGsdTerminatorLine[] = "\x0C";

std::string WithoutPadding(std::string text) {
  while (!text.empty() && (text.back() == ' ' || text.back() == '\0')) text.pop_back();
  return text;
}

// The file's whole value of an identity field, else the record's own.
std::string WholeValue(const std::string& found, const char* record) {
  return WithoutPadding(found.empty() ? std::string(record) : found);
}

std::string HeaderValue(const TStudyRecord& record, const char* key) {
  for (const auto& [name, value] : GsdHeaderFields(record))
    if (name == key) return value;
  return std::string();
}

// The written value read against what it stands for: the same when it
// begins with every byte of it (the "_" of padding after them is the rule).
bool WrittenAsHeld(const std::string& written, const std::string& held) {
  return written.size() >= held.size() && written.compare(0, held.size(), held) == 0;
}

struct IdentityField {
  const char* key;    // in the header
  const char* words;  // in a caveat
  bool isId;
  std::size_t capacity;
  std::string ScanFindings::*found;
};

const IdentityField kIdentity[] = {
    {"id", "Patient ID", true, sizeof TStudyRecord::patientId, &ScanFindings::patientId},
    {"name", "Patient's Name", false, sizeof TStudyRecord::patientName, &ScanFindings::patientName},
};

char* FieldOf(TStudyRecord& record, const IdentityField& field) {
  return field.isId ? record.patientId : record.patientName;
}
const char* FieldOf(const TStudyRecord& record, const IdentityField& field) {
  return field.isId ? record.patientId : record.patientName;
}

}  // namespace

std::string ShownUtf8(const std::string& bytes, const std::string& specificCharacterSet) {
  if (!specificCharacterSet.empty())
    if (std::optional<std::string> text = DecodeDicomText(bytes, specificCharacterSet))
      return *text;
  std::string text;
  for (unsigned char c : bytes) {
    if (c < 0x80) {
      text += static_cast<char>(c);
    } else {
      text += static_cast<char>(0xC0 | (c >> 6));
      text += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return text;
}

void CutIdentityToWholeCharacters(TStudyRecord& record, const ScanFindings& found,
                                  const std::string& specificCharacterSet) {
  for (const IdentityField& field : kIdentity) {
    const std::string& whole = found.*field.found;
    char* stored = FieldOf(record, field);
    // Only a value the load cut, and the record still holds as it cut it.
    if (whole.size() < field.capacity || whole.compare(0, std::strlen(stored), stored) != 0)
      continue;
    const std::size_t kept = WholeCharacterCut(whole, field.capacity - 1, specificCharacterSet);
    CopyToField(stored, field.capacity, whole.data(), kept);
  }
}

std::vector<std::string> IdentityCaveats(const TStudyRecord& record, const ScanFindings& found,
                                         const std::string& specificCharacterSet) {
  std::vector<std::string> caveats;
  for (const IdentityField& field : kIdentity) {
    const std::string held = WholeValue(found.*field.found, FieldOf(record, field));
    const std::string written = HeaderValue(record, field.key);
    if (WrittenAsHeld(written, held)) continue;
    caveats.push_back(std::string(field.words) + " " + ShownUtf8(held, specificCharacterSet) +
                      " is written as " + written.substr(0, held.size()));
  }
  return caveats;
}

std::vector<MarkedHeaderLine> MarkedHeaderLines(const TStudyRecord& record,
                                                const ScanFindings& found,
                                                const std::string& specificCharacterSet) {
  // The free texts, by key, and the file's whole value of the identity.
  const struct {
    const char* key;
    const char* value;
    const std::string* whole;
    std::size_t capacity;
  } texts[] = {
      {"id", record.patientId, &found.patientId, sizeof record.patientId},
      {"name", record.patientName, &found.patientName, sizeof record.patientName},
      {"date", record.studyDate, nullptr, 0},
      {"time", record.studyTime, nullptr, 0},
      {"tracer", record.tracer, nullptr, 0},
      {"comment", record.comment, nullptr, 0},
  };
  std::vector<MarkedHeaderLine> lines;
  const std::string header = ComposeGsdHeader(record);
  for (std::size_t start = 0; start < header.size();) {
    std::size_t end = header.find("\r\n", start);
    if (end == std::string::npos) end = header.size();
    MarkedHeaderLine line{header.substr(start, end - start), std::string()};
    start = end + 2;
    if (line.text == kGsdTerminatorLine) break;  // the form feed that ends the header
    const std::size_t equals = line.text.find(" = ");
    if (equals == std::string::npos) {
      lines.push_back(std::move(line));
      continue;
    }
    const std::string key = line.text.substr(0, equals);
    for (const auto& text : texts) {
      if (key != text.key) continue;
      const std::string value = WithoutPadding(text.value);
      const std::string written = HeaderValue(record, text.key);
      const bool replaced = !WrittenAsHeld(written, value);
      const std::string whole = text.whole ? WithoutPadding(*text.whole) : std::string();
      const bool cut = text.whole && whole.size() > value.size() &&
                       whole.compare(0, std::strlen(text.value), text.value) == 0;
      if (!replaced && !cut) break;
      line.mark = std::string(replaced && cut ? "replaced and cut"
                              : replaced      ? "replaced"
                                              : "cut") +
                  (cut ? " at " + std::to_string(text.capacity - 1) + " bytes" : std::string()) +
                  ": " + ShownUtf8(cut ? whole : value, specificCharacterSet);
      break;
    }
    lines.push_back(std::move(line));
  }
  return lines;
}
