#include "process/conversion_log.h"

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <ctime>

#include "output/output_path.h"
#include "platform/calendar_time.h"
#include "platform/descriptor.h"
#include "platform/file_status.h"
#include "platform/write_open.h"
#include "process/terminal_text.h"

std::string JsonString(const std::string& value) {
  std::string out = "\"";
  char escaped[8];
  for (std::size_t i = 0; i < value.size();) {
    const auto c = static_cast<unsigned char>(value[i]);
    const std::size_t length = Utf8SequenceLength(value, i);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20 || c == 0x7F || IsC1Control(value, i)) {
      // The code point itself, escaped: the line stays one line and no
      // control reaches a terminal that shows the log.
      const unsigned point = c == 0xC2 ? static_cast<unsigned char>(value[i + 1]) : c;
      std::snprintf(escaped, sizeof escaped, "\\u%04x", point);
      out += escaped;
    } else if (length != 0) {
      out.append(value, i, length);
      i += length;
      continue;
    } else {
      // A byte that is not UTF-8 (a Latin-1 path, a cut name) as the low
      // surrogate U+DC00 + byte, as Python's surrogateescape and
      // os.fsencode read it back: the bytes are recovered exactly.
      std::snprintf(escaped, sizeof escaped, "\\udc%02x", c);
      out += escaped;
    }
    i += length != 0 ? length : 1;
  }
  return out + "\"";
}

std::string FormatLogLine(const ObjectLogEntry& entry, const std::string& time) {
  std::string line = "{\"time\":" + JsonString(time);
  auto field = [&line](const char* name, const std::string& value) {
    line += std::string(",\"") + name + "\":" + JsonString(value);
  };
  if (!entry.input.empty()) field("input", entry.input);
  if (entry.input.empty() || !entry.callingAe.empty()) {
    field("calling_ae", entry.callingAe);
    field("peer", entry.peer);
  }
  field("sop_instance_uid", entry.sopInstanceUid);
  field("patient_id", entry.patientId);
  field("modality", entry.modality);
  field("outcome", entry.outcome);
  line += ",\"warnings\":[";
  for (std::size_t i = 0; i < entry.warnings.size(); ++i)
    line += (i ? "," : "") + JsonString(entry.warnings[i]);
  line += "]";
  field("output", entry.output);
  if (!entry.message.empty()) field("message", entry.message);
  char number[64];
  if (entry.receiveMs >= 0) {
    std::snprintf(number, sizeof number, ",\"receive_ms\":%.1f", entry.receiveMs);
    line += number;
  }
  if (entry.convertMs >= 0) {
    std::snprintf(number, sizeof number, ",\"convert_ms\":%.1f", entry.convertMs);
    line += number;
  }
  if (entry.beatsKeptPercent >= 0)
    line += ",\"beats_kept_percent\":" + std::to_string(entry.beatsKeptPercent);
  if (entry.worstGate > 0)
    line += ",\"worst_gate\":" + std::to_string(entry.worstGate) +
            ",\"worst_gate_percent\":" + std::to_string(entry.worstGatePercent);
  if (!entry.gating.empty()) field("gating", entry.gating);
  return line + "}";
}

std::string UtcNow() {
  const auto now = std::chrono::system_clock::now();
  const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  const auto milliseconds =
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  std::tm parts{};
  UtcCalendarTime(seconds, parts);
  char text[48];
  std::size_t n = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &parts);
  std::snprintf(text + n, sizeof text - n, ".%03dZ", static_cast<int>(milliseconds));
  return text;
}

bool ConversionLog::Open(const std::string& path, std::string& error, int permissions) {
  error.clear();
  if (path.empty()) {
    file_ = stdout;
    return true;
  }
  // The path is walked as an output's is: in a folder everybody may write,
  // a link or a file another user planted there is refused.
  OutputPlace place;
  if (FindOutputPlace(path.c_str(), place, error) != 0) return false;
  // A FIFO without a reader fails (ENXIO) rather than hangs the run; the
  // writes themselves block as usual.
  UniqueFd fd;
  FileStatus opened;
  int failed = OpenForAppending(place.folder.get(), place.name, place.kernelLink, fd);
  if (failed == 0) failed = StatusOf(fd.get(), opened);
  if (failed != 0) {
    error = failed == ENXIO ? "no process reads the FIFO" : std::strerror(failed);
    return false;
  }
  if (!place.kernelLink) {
    error = SharedFolderRefusal(place.folderInfo, opened, place.name);
    if (!error.empty()) return false;
  }
  // The log's own mode where the caller asks for one (the node's 0640),
  // whatever the umask; a file of another user keeps its own.
  if (permissions >= 0 && opened.type == FileType::kRegular && opened.owner == EffectiveUser() &&
      (opened.permissions & 07777) != static_cast<unsigned>(permissions)) {
    if (int failure = SetDescriptorPermissions(fd.get(), static_cast<unsigned>(permissions))) {
      error = std::strerror(failure);
      return false;
    }
  }
  if ((file_ = StreamOverDescriptor(fd.get(), "a")) == nullptr) {
    error = std::strerror(errno);
    return false;
  }
  fd.Release();
  owned_ = true;
  return true;
}

ConversionLog::~ConversionLog() {
  if (owned_) std::fclose(file_);
}

void ConversionLog::WriteLine(const std::string& line) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (file_ == nullptr) return;
  std::fputs((line + "\n").c_str(), file_);
  std::fflush(file_);
}

void ConversionLog::Write(const ObjectLogEntry& entry) {
  WriteLine(FormatLogLine(entry, UtcNow()));
}

void ConversionLog::Event(const std::string& event, const std::string& detail) {
  WriteLine("{\"time\":" + JsonString(UtcNow()) + ",\"event\":" + JsonString(event) +
            ",\"detail\":" + JsonString(detail) + "}");
}
