#include "process/converter_outcome.h"

#include <cstdlib>

#include "process/conversion_log.h"
#include "status/converter_status.h"

const char* const kDeclinedNonNmHint = " (--accept-non-nm converts it)";
const char* const kDeclinedProjectionsHint = " (--accept-projections converts it)";
const char* const kOutcomeDeclined = "declined";

const char* OutcomeOfExit(int exitCode) {
  switch (exitCode) {
    case kExitSaved:
      return "converted";
    case kExitPixelDataShort:
      return "short";
    case kExitNoMemory:
      return "no-memory";
    default:
      return "failed";
  }
}

int StatusOfExit(int exitCode) {
  return exitCode == kExitSaved || exitCode == kExitPixelDataShort || exitCode == kExitNoMemory
             ? exitCode
             : kExitFailed;
}

std::string FormatOutcomeLine(const ConverterOutcome& outcome) {
  std::string line = "{\"status\":" + std::to_string(outcome.status) +
                     ",\"kind\":" + JsonString(outcome.kind) +
                     ",\"reason\":" + JsonString(outcome.reason) + ",\"warnings\":[";
  for (std::size_t i = 0; i < outcome.warnings.size(); ++i)
    line += (i ? "," : "") + JsonString(outcome.warnings[i]);
  line += "],\"output\":" + JsonString(outcome.output);
  if (outcome.worstGate > 0)
    line += ",\"worstGate\":" + std::to_string(outcome.worstGate) +
            ",\"worstGatePercent\":" + std::to_string(outcome.worstGatePercent);
  if (!outcome.gating.empty()) line += ",\"gating\":" + JsonString(outcome.gating);
  return line + "}\n";
}

namespace {

// Reads what FormatOutcomeLine and JsonString write: a flat object of the
// five names and the gating's three, which a load may add, strings
// with the escapes JSON has (\udcXX back to the byte it stands for).
constexpr int kMostGates = 16;  // a GSD's division

class OutcomeReader {
 public:
  explicit OutcomeReader(const std::string& text) : text_(text) {}

  bool Read(ConverterOutcome& outcome) {
    bool status = false, kind = false, reason = false, warnings = false, output = false;
    bool worst = false, worstPercent = false, gating = false;
    if (!Take('{')) return false;
    do {
      std::string name;
      if (!String(name) || !Take(':')) return false;
      if (name == "status" && !status)
        status = Number(outcome.status);
      else if (name == "kind" && !kind)
        kind = String(outcome.kind);
      else if (name == "reason" && !reason)
        reason = String(outcome.reason);
      else if (name == "output" && !output)
        output = String(outcome.output);
      else if (name == "warnings" && !warnings)
        warnings = Strings(outcome.warnings);
      else if (name == "worstGate" && !worst)
        worst = Number(outcome.worstGate);
      else if (name == "worstGatePercent" && !worstPercent)
        worstPercent = Number(outcome.worstGatePercent);
      else if (name == "gating" && !gating)
        gating = String(outcome.gating);
      else
        return false;
    } while (Take(','));
    if (!Take('}') || !(status && kind && reason && warnings && output)) return false;
    // The worst gate comes with its per cent, and is one a GSD holds.
    if (worst != worstPercent ||
        (worst && (outcome.worstGate < 1 || outcome.worstGate > kMostGates)))
      return false;
    Space();
    return at_ == text_.size();
  }

 private:
  void Space() {
    while (at_ < text_.size() &&
           (text_[at_] == ' ' || text_[at_] == '\n' || text_[at_] == '\r' || text_[at_] == '\t'))
      ++at_;
  }
  bool Take(char c) {
    Space();
    if (at_ >= text_.size() || text_[at_] != c) return false;
    ++at_;
    return true;
  }
  bool Number(int& into) {
    Space();
    const std::size_t start = at_;
    if (at_ < text_.size() && text_[at_] == '-') ++at_;
    while (at_ < text_.size() && at_ - start < 6 && text_[at_] >= '0' && text_[at_] <= '9') ++at_;
    if (at_ == start || text_[at_ - 1] == '-') return false;
    into = std::atoi(text_.substr(start, at_ - start).c_str());
    return true;
  }
  bool Hex4(unsigned& into) {
    if (text_.size() - at_ < 4) return false;
    into = 0;
    for (int i = 0; i < 4; ++i) {
      const char c = text_[at_++];
      const int digit = c >= '0' && c <= '9'   ? c - '0'
                        : c >= 'a' && c <= 'f' ? c - 'a' + 10
                        : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                               : -1;
      if (digit < 0) return false;
      into = into * 16 + static_cast<unsigned>(digit);
    }
    return true;
  }
  // A \u escape: a byte that was not UTF-8 (\udcXX), else the code point
  // in UTF-8. Surrogate pairs do not occur: JsonString writes others as they are.
  bool Escaped(std::string& into) {
    unsigned point = 0;
    if (!Hex4(point)) return false;
    if (point >= 0xDC80 && point <= 0xDCFF) {
      into += static_cast<char>(point & 0xFF);
    } else if (point >= 0xD800 && point <= 0xDFFF) {
      return false;
    } else if (point < 0x80) {
      into += static_cast<char>(point);
    } else if (point < 0x800) {
      into += static_cast<char>(0xC0 | point >> 6);
      into += static_cast<char>(0x80 | (point & 0x3F));
    } else {
      into += static_cast<char>(0xE0 | point >> 12);
      into += static_cast<char>(0x80 | (point >> 6 & 0x3F));
      into += static_cast<char>(0x80 | (point & 0x3F));
    }
    return true;
  }
  bool String(std::string& into) {
    into.clear();
    if (!Take('"')) return false;
    while (at_ < text_.size()) {
      const char c = text_[at_++];
      if (c == '"') return true;
      if (c != '\\') {
        into += c;
        continue;
      }
      if (at_ >= text_.size()) return false;
      const char e = text_[at_++];
      if (e == 'u') {
        if (!Escaped(into)) return false;
        continue;
      }
      const char* const kEscapes = "\"\"\\\\//b\bf\fn\nr\rt\t";
      const char* found = nullptr;
      for (const char* p = kEscapes; *p != '\0' && found == nullptr; p += 2)
        if (*p == e) found = p + 1;
      if (found == nullptr) return false;
      into += *found;
    }
    return false;
  }
  bool Strings(std::vector<std::string>& into) {
    into.clear();
    if (!Take('[')) return false;
    if (Take(']')) return true;
    do {
      into.emplace_back();
      if (!String(into.back())) return false;
    } while (Take(','));
    return Take(']');
  }

  const std::string& text_;
  std::size_t at_ = 0;
};

// The child's last line of output that is not a warning, without the
// program's name: what a child that wrote no outcome line said last.
std::string LastWords(const std::string& output) {
  std::string reason;
  std::size_t start = 0;
  while (start < output.size()) {
    std::size_t end = output.find('\n', start);
    if (end == std::string::npos) end = output.size();
    std::string line = output.substr(start, end - start);
    if (line.rfind("dicom2gsd: warning: ", 0) != 0 && !line.empty()) reason = line;
    start = end + 1;
  }
  if (reason.rfind("dicom2gsd: ", 0) == 0) reason.erase(0, 11);
  return reason;
}

}  // namespace

bool ParseOutcomeLine(const std::string& text, ConverterOutcome& outcome) {
  ConverterOutcome read;
  if (!OutcomeReader(text).Read(read)) return false;
  outcome = std::move(read);
  return true;
}

ConverterOutcome OutcomeOfChild(const ChildResult& run, bool outputWritten) {
  ConverterOutcome said;
  const bool spoke = !run.timedOut && run.signal == 0 && ParseOutcomeLine(run.report, said) &&
                     said.status == run.exitCode;
  ConverterOutcome outcome;
  if (spoke) {
    outcome.warnings = said.warnings;
    outcome.worstGate = said.worstGate;
    outcome.worstGatePercent = said.worstGatePercent;
    outcome.gating = said.gating;
  }
  if (run.exitCode == kExitSaved && outputWritten) {
    outcome.status = kExitSaved;
    outcome.kind = OutcomeOfExit(kExitSaved);
    outcome.output = said.output;
    return outcome;
  }
  outcome.status = run.exitCode == kExitSaved ? kExitFailed : StatusOfExit(run.exitCode);
  outcome.kind = OutcomeOfExit(outcome.status);
  if (spoke && said.kind == kOutcomeDeclined && outcome.status == kExitFailed)
    outcome.kind = kOutcomeDeclined;
  if (run.timedOut)
    outcome.reason =
        "dicom2gsd did not finish within " + std::to_string(kConverterDeadlineSeconds) + " s";
  else if (run.signal != 0)
    outcome.reason = "dicom2gsd ended by signal " + std::to_string(run.signal);
  else if (run.exitCode == kExitSaved)
    outcome.reason = "dicom2gsd wrote nothing";
  else
    outcome.reason = spoke ? said.reason : LastWords(run.output);
  if (outcome.reason.empty()) outcome.reason = "dicom2gsd wrote nothing";
  return outcome;
}

bool GoesToConverter(const std::string& modality, const std::string& sopClassUid,
                     bool acceptNonNm) {
  static const char* const kNuclearMedicineImageStorage = "1.2.840.10008.5.1.4.1.1.20";
  return modality == "NM" || (acceptNonNm && sopClassUid == kNuclearMedicineImageStorage);
}
