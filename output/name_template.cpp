#include "output/name_template.h"

#include <cerrno>
#include <cstring>

#include "platform/placeholder_file.h"

namespace {

bool SafeNameByte(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '.' || c == '_';
}

std::string SanitizedField(const std::string& value) {
  std::string out;
  for (unsigned char c : value) {
    if (out.size() == kNameFieldMax) break;
    out += SafeNameByte(c) ? static_cast<char>(c) : '_';
  }
  // Trailing DICOM padding and separators say nothing.
  while (!out.empty() && out.back() == '_') out.pop_back();
  return out.empty() ? "unknown" : out;
}

std::string UidSuffix(const std::string& uid) {
  return uid.size() > kUidSuffixLength ? uid.substr(uid.size() - kUidSuffixLength) : uid;
}

}  // namespace

std::string NameTemplateError(const std::string& nameTemplate) {
  if (nameTemplate.empty()) return "the name template is empty";
  for (std::size_t i = 0; i < nameTemplate.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(nameTemplate[i]);
    if (c == '/') return "the name template holds '/': names stay in the output folder";
    if (c < 0x20 || c == 0x7F) return "the name template holds a control character";
    if (c != '%') continue;
    if (i + 1 == nameTemplate.size()) return "the name template ends with a lone '%'";
    char field = nameTemplate[++i];
    if (field != 'i' && field != 'd' && field != 't' && field != 'u' && field != '%')
      return std::string("the name template holds %") + field + ", not %i %d %t %u or %%";
  }
  return {};
}

std::string ExpandNameTemplate(const std::string& nameTemplate, const NameFields& fields) {
  if (!NameTemplateError(nameTemplate).empty()) return {};
  std::string name;
  for (std::size_t i = 0; i < nameTemplate.size(); ++i) {
    if (nameTemplate[i] != '%') {
      name += nameTemplate[i];
      continue;
    }
    switch (nameTemplate[++i]) {
      case 'i':
        name += SanitizedField(fields.patientId);
        break;
      case 'd':
        name += SanitizedField(fields.studyDate);
        break;
      case 't':
        name += SanitizedField(fields.studyTime);
        break;
      case 'u':
        name += SanitizedField(UidSuffix(fields.sopInstanceUid));
        break;
      default:
        name += '%';
        break;
    }
  }
  // The literal text may hold odd bytes too: the same rule for the whole
  // name, where only the template can have put a '%'.
  for (char& c : name)
    if (c != '%' && !SafeNameByte(static_cast<unsigned char>(c))) c = '_';
  if (name.size() > kNameMax) name.resize(kNameMax);
  // Neither hidden nor taken for an option by a command given the name.
  if (name[0] == '.' || name[0] == '-') name[0] = '_';
  return name;
}

std::string NameWithSuffix(const std::string& name, int n) {
  if (n == 0) return name;
  std::size_t dot = name.rfind('.');
  if (dot == std::string::npos || dot == 0) return name + "-" + std::to_string(n);
  return name.substr(0, dot) + "-" + std::to_string(n) + name.substr(dot);
}

std::string ReserveOutputName(const std::string& folder, const std::string& name,
                              std::string& error, int permissions) {
  for (int n = 0; n <= kMaxNameSuffix; ++n) {
    std::string candidate = NameWithSuffix(name, n);
    // The empty file holds the name against every other writer until
    // dicom2gsd replaces it, a file of this process's user with one link.
    const int failed = CreatePlaceholder(folder + "/" + candidate, permissions);
    if (failed == 0) return candidate;
    if (failed != EEXIST) {
      error = folder + "/" + candidate + ": " + std::strerror(failed);
      return {};
    }
  }
  error = folder + ": no free name for " + name;
  return {};
}
