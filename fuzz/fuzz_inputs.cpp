#include "fuzz/fuzz_inputs.h"

#ifdef _WIN32
#include <process.h>
#else
#include <sys/mman.h>
#include <unistd.h>
#endif

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "cli/gsd_inspect.h"
#include "cli/montage.h"
#include "core/element_reader.h"
#include "core/gated_loader.h"
#include "core/operator_question.h"
#include "form/study_form.h"
#include "gsd/gsd_reader.h"
#include "gsd/gsd_stream.h"
#include "gsd/gsd_writer.h"
#include "helper_client/transcoder.h"
#include "model/study.h"

namespace {

// The input as a file, opened by path like any file the operator picks:
// a memory-backed descriptor, or on Windows (the replayed regressions under
// wine) a temporary file.
#ifdef _WIN32
class MemoryFile {
 public:
  MemoryFile(const std::uint8_t* data, std::size_t size) {
    static int serial = 0;
    const std::filesystem::path file =
        std::filesystem::temp_directory_path() /
        ("dgc-fuzz-input-" + std::to_string(::_getpid()) + "-" + std::to_string(serial++));
    path_ = file.u8string();
    std::ofstream out(file, std::ios::binary);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    if (!out.flush()) std::abort();
  }
  ~MemoryFile() { std::remove(path_.c_str()); }
  const char* path() const { return path_.c_str(); }

 private:
  std::string path_;
};
#else
class MemoryFile {
 public:
  MemoryFile(const std::uint8_t* data, std::size_t size) {
    fd_ = ::memfd_create("dicom-input", 0);
    if (fd_ < 0) std::abort();
    for (std::size_t done = 0; done < size;) {
      ssize_t n = ::write(fd_, data + done, size - done);
      if (n <= 0) std::abort();
      done += static_cast<std::size_t>(n);
    }
    path_ = "/proc/self/fd/" + std::to_string(fd_);
  }
  ~MemoryFile() { ::close(fd_); }
  const char* path() const { return path_.c_str(); }

 private:
  int fd_;
  std::string path_;
};
#endif

void WalkHeaders(const char* path) {
  std::FILE* stream = OpenDicomFile(path);
  if (stream == nullptr) return;
  DicomElement element{};
  for (int i = 0; i < 100000 && ReadElementHeader(stream, element) == 1; ++i) {
    if (element.group == 0x7FE0 && element.element == 0x0010) break;
    SkipElementValue(stream, element);
  }
  std::fclose(stream);
}

// What the writer wrote must read back, as the record says: a DICOM value
// that ends or breaks the header is caught here, not by a later reader.
void ExpectTheReaderAgrees(const std::string& gsd, const TStudyRecord& record) {
  GsdFile file;
  std::string error;
  if (!ParseGsd(gsd, file, error)) {
    std::fprintf(stderr, "the GSD written does not read back: %s\n", error.c_str());
    std::abort();
  }
  const int gates = record.gateCount > 1 ? record.gateCount : 1;
  const int frames = record.frameCount > 0 ? record.frameCount : 0;
  const std::string* hr = file.Field("hr");
  if (file.division != record.gateCount || file.frames != frames || file.Gates() != gates ||
      hr == nullptr || *hr != std::to_string(record.heartRate)) {
    std::fprintf(stderr, "the GSD read back disagrees with the record\n");
    std::abort();
  }
}

void WriteWhatWasLoaded(Study& study) {
  TStudyRecord& record = study.record;
  StudyFormTexts texts;
  FillFormTexts(record, texts);
  if (texts.sex == FormSex::kUnknown) texts.sex = FormSex::kFemale;  // as dicom2gsd writes it
  if (StoreFormTexts(texts, record)) return;
  if (record.gateCount > kStoreGates || record.frameCount > kStoreFramesPerGate) return;
  std::string error;
  if (!GsdHeaderReadsBack(record, error)) {  // a loaded study the writer would refuse
    std::fprintf(stderr, "the GSD header of a loaded study does not read back: %s\n",
                 error.c_str());
    std::abort();
  }
  // A real file: the writer sets its own buffer, which a memory stream
  // does not take.
  std::FILE* sink = std::tmpfile();
  if (sink == nullptr) return;
  const bool written = WriteGsdStream(sink, study, record.gateCount % 2 == 0);
  std::string gsd;
  char chunk[65536];
  std::rewind(sink);
  for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, sink)) > 0;) gsd.append(chunk, n);
  std::fclose(sink);
  if (written) ExpectTheReaderAgrees(gsd, record);
}

}  // namespace

int RunDicomLoadInput(const std::uint8_t* data, std::size_t size, LoadReport* last) {
  LoadOptions options;
  options.decoder.enabled = false;  // the decoder runs in its own process, fuzzed by decode_tests
  MemoryFile file(data, size);
  WalkHeaders(file.path());
  int result = kLoadFailed;
  Study study;
  for (bool answer : {false, true}) {
    options.ask = [answer](const OperatorQuestion&) { return answer; };
    LoadReport report;
    result = LoadGatedStudy(file.path(), study, options, report);
    if (result == kLoadOk) WriteWhatWasLoaded(study);
    if (last != nullptr) *last = report;
  }
  return result;
}

bool RunGsdReaderInput(const std::uint8_t* data, std::size_t size) {
  GsdFile file;
  std::string error;
  bool accepted = ParseGsd(std::string(reinterpret_cast<const char*>(data), size), file, error);
  // gsdinfo's whole path, frames and montage included, on the same bytes.
  MemoryFile input(data, size);
  std::FILE* in = std::fopen(input.path(), "rb");
  std::FILE* sink = std::fopen("/dev/null", "wb");
  if (in == nullptr || sink == nullptr) std::abort();
  int status = InspectGsd(in, "fuzz.gsd", nullptr, sink, sink);
  std::fclose(in);
  std::fclose(sink);
  if ((status == 0) != accepted) std::abort();  // reader and gsdinfo must agree
  if (accepted && file.frames > 0) {
    // The curve under the montage, from the gates' totals as gsdinfo sums them.
    std::vector<long long> totals(static_cast<std::size_t>(file.Gates()), 0);
    for (int g = 0; g < file.Gates(); ++g)
      for (int f = 0; f < file.frames; ++f)
        for (int v = 0; v < kFrameValues; ++v)
          totals[static_cast<std::size_t>(g)] += file.Frame(g, f)[v];
    if (!WriteMontagePng(file, CurveOfTotals(totals), "/dev/null", error)) std::abort();
  }
  return accepted;
}
