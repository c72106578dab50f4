#include "process/conversion_log.h"

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>

#include "output/output_path.h"
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
  return line + "}";
}

std::string UtcNow() {
  // The civil date of a day count from 1970-01-01 (proleptic Gregorian, in
  // 400-year eras): no C library's gmtime, which is not reentrant everywhere
  // and gmtime_r not everywhere there.
  const long long milliseconds = std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::system_clock::now().time_since_epoch())
                                     .count();
  const long long seconds = milliseconds / 1000;
  const long long days = seconds / 86400 - (seconds % 86400 < 0);
  const long long ofDay = seconds - days * 86400;
  const long long shifted = days + 719468;  // from 0000-03-01
  const long long era = (shifted >= 0 ? shifted : shifted - 146096) / 146097;
  const long long dayOfEra = shifted - era * 146097;
  const long long yearOfEra =
      (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  const long long dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  const long long monthIndex = (5 * dayOfYear + 2) / 153;  // March is 0
  const long long day = dayOfYear - (153 * monthIndex + 2) / 5 + 1;
  const long long month = monthIndex < 10 ? monthIndex + 3 : monthIndex - 9;
  const long long year = yearOfEra + era * 400 + (month <= 2);
  char text[48];
  std::snprintf(text, sizeof text, "%04lld-%02lld-%02lldT%02lld:%02lld:%02lld.%03lldZ", year, month,
                day, ofDay / 3600, ofDay / 60 % 60, ofDay % 60, milliseconds % 1000);
  return text;
}

bool ConversionLog::Open(const std::string& path, std::string& error) {
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
