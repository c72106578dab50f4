#include "gsd_writer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "gsd_format.h"
#include "gsd_stream.h"
#include "sanitize_token.h"

std::string LastGsdWriteError;

GsdStreamOpener OpenGsdStream = [](int fd) { return ::fdopen(fd, "wb"); };

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

void AddLine(std::string& header, const char* key, const std::string& value) {
  header += key;
  header += " = ";
  // The header is text with CR LF line ends: a line feed inside a value (a
  // date or time is written as stored) is one too.
  for (char c : value) {
    if (c == '\n') header += '\r';
    header += c;
  }
  header += ';';
  header += kGsdLineEnd;
}

bool Fail(const std::string& what) {
  LastGsdWriteError = what;
  return false;
}

std::string Directory(const std::string& path) {
  std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// The file a rename would have to replace: a symbolic link is followed so
// that the link stays and its target gets the new bytes.
std::string ReplacedFile(const char* path) {
  struct stat link;
  if (::lstat(path, &link) == 0 && S_ISLNK(link.st_mode)) {
    char resolved[PATH_MAX];
    if (::realpath(path, resolved) != nullptr) return resolved;
  }
  return path;
}

mode_t NewFileMode(const std::string& target) {
  struct stat info;
  if (::stat(target.c_str(), &info) == 0) return info.st_mode & 07777;
  mode_t mask = ::umask(0);
  ::umask(mask);
  return 0666 & ~mask;
}

bool CloseChecked(std::FILE* out) {
  bool ok = std::fflush(out) == 0 && !std::ferror(out);
  if (std::fclose(out) != 0) ok = false;
  return ok;
}

bool WriteDirect(const char* path, const TStudyRecord& record, bool baseToApex) {
  std::FILE* out = std::fopen(path, "wb");
  if (out == nullptr) return Fail(std::strerror(errno));
  errno = 0;
  bool ok = WriteGsdStream(out, record, baseToApex);
  int error = errno;
  if (!CloseChecked(out) || !ok) return Fail(error ? std::strerror(error) : "write failed");
  return true;
}

bool WriteReplacing(const char* path, const TStudyRecord& record, bool baseToApex) {
  std::string target = ReplacedFile(path);
  std::string name =
      target.substr(target.rfind('/') == std::string::npos ? 0 : target.rfind('/') + 1);
  std::string temp = Directory(target) + "/." + name + ".XXXXXX";
  int fd = ::mkstemp(temp.data());
  if (fd < 0) return Fail(std::strerror(errno));
  ::fchmod(fd, NewFileMode(target));
  std::FILE* out = OpenGsdStream(fd);
  if (out == nullptr) {
    int error = errno;
    ::close(fd);
    ::unlink(temp.c_str());
    return Fail(std::strerror(error));
  }
  errno = 0;
  bool ok = WriteGsdStream(out, record, baseToApex);
  int error = errno;
  if (!CloseChecked(out)) {
    ok = false;
    if (error == 0) error = errno;
  }
  if (ok && std::rename(temp.c_str(), target.c_str()) != 0) {
    ok = false;
    error = errno;
  }
  if (!ok) {
    ::unlink(temp.c_str());
    return Fail(error ? std::strerror(error) : "write failed");
  }
  return true;
}

}  // namespace

std::string ComposeGsdHeader(const TStudyRecord& record) {
  std::string header = kGsdIdentifier;
  header += kGsdLineEnd;
  AddLine(header, "id", Sanitized(record.patientId));
  AddLine(header, "name", Sanitized(record.patientName));
  AddLine(header, "date", record.studyDate);
  AddLine(header, "time", record.studyTime);
  AddLine(header, "sex", record.sex);
  // Strict comparisons: a NaN writes nothing, nor do 30 cm and 3 kg.
  if (record.height > 30.0f) AddLine(header, "height", FixedPoint(record.height, 8, 4));
  if (record.weight > 3.0f) AddLine(header, "weight", FixedPoint(record.weight, 8, 4));
  if (record.tracer[0] != '\0') AddLine(header, "tracer", Sanitized(record.tracer));
  if (record.comment[0] != '\0') AddLine(header, "comment", Sanitized(record.comment));
  AddLine(header, "matrix", "64");
  AddLine(header, "pixel", FixedPoint(record.pixelSize, 16, 10));
  AddLine(header, "thick", FixedPoint(record.sliceThickness, 16, 10));
  AddLine(header, "hr", std::to_string(record.heartRate));
  AddLine(header, "division", std::to_string(record.gateCount));
  AddLine(header, "frames", std::to_string(record.frameCount));
  header += "order = little;";
  header += kGsdLineEnd;
  header += kGsdTerminator;
  return header;
}

bool WriteGsdStream(std::FILE* out, const TStudyRecord& record, bool baseToApex) {
  // Large writes: with the default 4 KiB buffer every 8 KiB frame behind the
  // header costs two system calls. One thread, one writer at a time.
  static char buffer[1 << 20];
  std::setvbuf(out, buffer, _IOFBF, sizeof buffer);
  std::string header = ComposeGsdHeader(record);
  if (std::fwrite(header.data(), 1, header.size(), out) != header.size()) return false;
  int gates = record.gateCount > 1 ? record.gateCount : 1;
  int frames = record.frameCount;
  for (int g = 0; g < gates; ++g) {
    for (int i = 0; i < frames; ++i) {
      int f = baseToApex ? i : frames - 1 - i;
      if (std::fwrite(ImageStore + FrameSlotIndex(g, f), kGsdFrameBytes, 1, out) != 1) return false;
    }
  }
  // The buffer belongs to this call: empty it before returning.
  return std::fflush(out) == 0;
}

int WriteGsdFile(const char* path, const TStudyRecord* record, bool baseToApex) {
  LastGsdWriteError.clear();
  if (record->gateCount > kStoreGates || record->frameCount > kStoreFramesPerGate) {
    Fail(std::to_string(record->gateCount) + " gates of " + std::to_string(record->frameCount) +
         " frames exceed the store (at most 16 gates of 64 frames)");
    return kGsdNotWritten;
  }
  struct stat info;
  bool special = ::stat(path, &info) == 0 && !S_ISREG(info.st_mode);
  bool ok =
      special ? WriteDirect(path, *record, baseToApex) : WriteReplacing(path, *record, baseToApex);
  return ok ? kGsdWritten : kGsdNotWritten;
}
