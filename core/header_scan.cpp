#include "header_scan.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <limits>

#include "dataset_walk.h"
#include "element_reader.h"
#include "load_report.h"
#include "operator_question.h"
#include "study_state.h"
#include "value_text.h"

ScanFindings LastScanFindings;
const char* const kNonNmQuestionText = "Not NM Images!\n Continue?";
const char* const kNonNmQuestionCaption = "Warning";
const char* const kNotReconstructedQuestionText = "Not Reconstructed Images!\n Continue?";

namespace {

constexpr std::uint32_t Tag(std::uint16_t group, std::uint16_t element) {
  return (std::uint32_t{group} << 16) | element;
}

constexpr std::size_t kValueBufferSize = 8192;

struct Scan {
  explicit Scan(std::FILE* s) : stream(s), walk(s) {}

  std::FILE* stream;
  DatasetWalk walk;
  DicomElement element{};
  char value[kValueBufferSize];  // every text value lands here, NUL after it
  double thickness = -1.0;
  double spacing = -1.0;
  double pixelSpacing = -1.0;

  // Reads the value as text. A value too long for the buffer keeps its first
  // 8191 bytes; the rest is passed over.
  const char* ReadText() {
    std::size_t wanted = static_cast<std::size_t>(element.length);
    std::size_t kept = wanted < kValueBufferSize ? wanted : kValueBufferSize - 1;
    std::size_t got = std::fread(value, 1, kept, stream);
    value[got] = '\0';
    if (wanted > kept) std::fseek(stream, static_cast<long>(wanted - kept), SEEK_CUR);
    return value;
  }

  // The first two bytes, little-endian; a one-byte value is that byte. The
  // rest of a longer value is passed over.
  std::uint16_t Read16() {
    unsigned char b[2] = {0, 0};
    std::size_t take = element.length < 2 ? static_cast<std::size_t>(element.length) : 2;
    std::size_t got = std::fread(b, 1, take, stream);
    if (element.length > 2) std::fseek(stream, element.length - 2, SEEK_CUR);
    if (got == 1 && take == 1) return b[0];
    return static_cast<std::uint16_t>(b[0] | (b[1] << 8));
  }

  // A US multi-value, as many entries as the vector keeps.
  void ReadVector(FrameVector& vector) {
    std::size_t stored = static_cast<std::size_t>(element.length) / 2;
    std::size_t kept = stored < kMaxVectorEntries ? stored : kMaxVectorEntries;
    unsigned char bytes[2 * kMaxVectorEntries];
    std::size_t got = std::fread(bytes, 2, kept, stream);
    for (std::size_t i = 0; i < got; ++i)
      vector.entries[i] = static_cast<std::uint16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
    vector.count = static_cast<int>(got < kept ? got : stored);
    std::size_t rest = static_cast<std::size_t>(element.length) - 2 * got;
    if (rest > 0) std::fseek(stream, static_cast<long>(rest), SEEK_CUR);
  }

  bool Empty() const { return element.length == 0; }
};

template <std::size_t N>
void SetField(char (&field)[N], const char* text) {
  CopyToField(field, N, text, std::strlen(text));
}

// Joins the pieces of a DICOM date or time that the value supplies:
// YYYYMMDD -> YYYY.MM.DD, HHMMSS[.frac] -> HH:MM:SS.
void Reformat(char* out, const char* text, const int (&widths)[3], char joint) {
  std::size_t available = std::strlen(text);
  std::size_t pos = 0;
  char* o = out;
  for (int part = 0; part < 3 && pos < available; ++part) {
    if (part > 0) *o++ = joint;
    for (int i = 0; i < widths[part] && pos < available; ++i) *o++ = text[pos++];
  }
  *o = '\0';
}

void ReformatDate(const char* text) {
  Reformat(StudyRecord.studyDate, text, {4, 2, 2}, '.');
}

void ReformatTime(const char* text) {
  Reformat(StudyRecord.studyTime, text, {2, 2, 2}, ':');
}

void KeepFirstTracer(Scan& scan) {
  const char* text = scan.ReadText();
  if (StudyRecord.tracer[0] == '\0') SetField(StudyRecord.tracer, text);
}

std::string TrimPadding(const char* text) {
  std::string value(text);
  while (!value.empty() && (value.back() == ' ' || value.back() == '\0')) value.pop_back();
  std::size_t start = value.find_first_not_of(' ');
  return start == std::string::npos ? std::string() : value.substr(start);
}

// Returns false when the operator declines a non-NM file.
bool CheckModality(Scan& scan) {
  char modality[3] = {0, 0, 0};
  const char* text = scan.ReadText();
  CopyToField(modality, sizeof modality, text, std::strlen(text));
  // Shorter than two characters, empty included, is not "NM".
  if (std::strcmp(modality, "NM") == 0) return true;
  if (AskOperatorYesNo(
          {QuestionKind::kNonNmModality, kNonNmQuestionText, kNonNmQuestionCaption, true}))
    return true;
  ReportLoadFailure(LoadFailure::kModalityDeclined,
                    std::string("modality ") + (modality[0] ? modality : "(empty)") + " declined");
  return false;
}

// Gated SPECT analysis needs reconstructed slices. The third value of Image
// Type names what the frames are; projections and planar images are
// questioned, RECON TOMO, RECON GATED TOMO and anything else are not.
bool CheckImageType(Scan& scan) {
  std::string value = scan.ReadText();
  std::size_t first = value.find('\\');
  std::size_t second = first == std::string::npos ? first : value.find('\\', first + 1);
  if (second == std::string::npos) return true;
  std::size_t end = value.find('\\', second + 1);
  std::string kind = TrimPadding(value.substr(second + 1, end - second - 1).c_str());
  static const char* const kNotReconstructed[] = {"GATED TOMO", "TOMO",    "GATED",
                                                  "STATIC",     "DYNAMIC", "WHOLE BODY"};
  bool questioned = false;
  for (const char* name : kNotReconstructed) questioned = questioned || kind == name;
  if (!questioned) return true;
  if (AskOperatorYesNo({QuestionKind::kNotReconstructed, kNotReconstructedQuestionText,
                        kNonNmQuestionCaption, false}))
    return true;
  ReportLoadFailure(LoadFailure::kNotReconstructedDeclined,
                    "Image Type " + kind + " holds projections or planar images, not " +
                        "reconstructed slices; declined");
  return false;
}

void ApplyClosingRules(const Scan& scan) {
  StudyRecord.sliceThickness = scan.thickness > scan.spacing ? scan.thickness : scan.spacing;
  StudyRecord.pixelSize = scan.pixelSpacing;
  if (StudyRecord.sliceThickness == 1.0) StudyRecord.sliceThickness = StudyRecord.pixelSize;
}

bool IsRawLittleEndianSyntax(const std::string& uid) {
  return uid == "1.2.840.10008.1.2" || uid == "1.2.840.10008.1.2.1";
}

// Applies the element's row of the scan table. Returns 0 to go on walking,
// or the scan's result.
std::int32_t ApplyElement(Scan& scan) {
  DicomElement& el = scan.element;
  const bool top = scan.walk.AtTopLevel();
  ScanFindings& found = LastScanFindings;
  switch (Tag(el.group, el.element)) {
    case Tag(0x0002, 0x0010):
      found.transferSyntax = TrimPadding(scan.ReadText());
      found.hasTransferSyntax = true;
      if (!IsRawLittleEndianSyntax(found.transferSyntax)) return kScanNeedsDecoding;
      scan.walk.UseForm(FormOfSyntax(found.transferSyntax));
      break;
    case Tag(0x0008, 0x0008):
      if (top && !scan.Empty() && !CheckImageType(scan)) return kScanDeclined;
      if (!top) SkipElementValue(scan.stream, el);
      break;
    case Tag(0x0008, 0x0020):
      if (scan.Empty())
        StudyRecord.studyDate[0] = '\0';
      else
        ReformatDate(scan.ReadText());
      break;
    case Tag(0x0008, 0x0030):
      if (scan.Empty())
        StudyRecord.studyTime[0] = '\0';
      else
        ReformatTime(scan.ReadText());
      break;
    case Tag(0x0008, 0x0060):
      if (!CheckModality(scan)) return kScanDeclined;
      break;
    case Tag(0x0010, 0x0010):
      SetField(StudyRecord.patientName, scan.Empty() ? "No_name" : scan.ReadText());
      break;
    case Tag(0x0010, 0x0020):
      SetField(StudyRecord.patientId, scan.Empty() ? "No_ID" : scan.ReadText());
      break;
    case Tag(0x0010, 0x0040): {
      char first = scan.Empty() ? 'M' : scan.ReadText()[0];
      SetField(StudyRecord.sex, first == 'M' || first == 'm' ? "M" : "F");
      break;
    }
    case Tag(0x0018, 0x0031):
    case Tag(0x0054, 0x0018):
      if (!scan.Empty()) KeepFirstTracer(scan);
      break;
    case Tag(0x0018, 0x0050):
      if (!scan.Empty()) scan.thickness = ParseDecimalNumber(scan.ReadText());
      break;
    case Tag(0x0018, 0x0088):
      if (!scan.Empty()) scan.spacing = ParseDecimalNumber(scan.ReadText());
      break;
    case Tag(0x0018, 0x1088):
      StudyRecord.heartRate = scan.Empty()
                                  ? std::int16_t{-1}
                                  : static_cast<std::int16_t>(ParseWholeNumber(scan.ReadText()));
      break;
    case Tag(0x0028, 0x0030):
      if (!scan.Empty()) scan.pixelSpacing = ParseDecimalNumber(scan.ReadText());
      break;
    case Tag(0x0054, 0x0071):
      if (!scan.Empty()) StudyRecord.gateCount = static_cast<std::int16_t>(scan.Read16());
      break;
    case Tag(0x0054, 0x0081):
      if (StudyRecord.frameCount < 5) {
        if (!scan.Empty()) StudyRecord.frameCount = scan.Read16();
      } else {
        SkipElementValue(scan.stream, el);
      }
      break;
    default:
      if (!top || scan.Empty()) {
        SkipElementValue(scan.stream, el);
        break;
      }
      // Image attributes: those of an icon or a referenced image inside a
      // sequence describe another picture and are passed over above.
      switch (Tag(el.group, el.element)) {
        case Tag(0x0028, 0x0008):
          StudyRecord.frameCount = ParseWholeNumber(scan.ReadText());
          break;
        case Tag(0x0028, 0x0010):
          StudyRecord.matrixSize = static_cast<std::int16_t>(scan.Read16());
          break;
        case Tag(0x0028, 0x0011):
          found.columns = scan.Read16();
          break;
        case Tag(0x0028, 0x0100):
          found.bitsAllocated = scan.Read16();
          break;
        case Tag(0x0028, 0x0101):
          found.bitsStored = scan.Read16();
          break;
        case Tag(0x0028, 0x0102):
          found.highBit = scan.Read16();
          break;
        case Tag(0x0028, 0x0103):
          found.pixelRepresentation = scan.Read16();
          break;
        case Tag(0x0028, 0x2110):
          found.lossyCompression = TrimPadding(scan.ReadText()) == "01";
          break;
        case Tag(0x0054, 0x0070):
          scan.ReadVector(found.timeSlots);
          break;
        case Tag(0x0054, 0x0080):
          scan.ReadVector(found.slices);
          break;
        default:
          SkipElementValue(scan.stream, el);
          break;
      }
      break;
  }
  return 0;
}

}  // namespace

void ReportOpenFailure(const char* path) {
  struct stat info;
  if (::stat(path, &info) != 0) {
    ReportLoadFailure(LoadFailure::kCannotOpen, std::strerror(errno));
  } else if (S_ISDIR(info.st_mode)) {
    ReportLoadFailure(LoadFailure::kCannotOpen, "is a directory");
  } else if (!S_ISREG(info.st_mode)) {
    ReportLoadFailure(LoadFailure::kCannotOpen, "is not a regular file");
  } else if (std::FILE* probe = std::fopen(path, "rb")) {
    std::fclose(probe);
    ReportLoadFailure(LoadFailure::kNotDicom,
                      "not a DICOM file (no \"DICM\" after the 128-byte preamble)");
  } else {
    ReportLoadFailure(LoadFailure::kCannotOpen, std::strerror(errno));
  }
}

std::int32_t ScanStudyStream(std::FILE* stream) {
  LastScanFindings = ScanFindings{};
  Scan scan(stream);
  for (;;) {
    if (scan.walk.Next(scan.element) != 1) {
      ReportLoadFailure(LoadFailure::kNoPixelData,
                        scan.walk.TooDeep() ? "sequences nested too deep to walk"
                                            : "the file ends before its Pixel Data element");
      return kScanFailed;
    }
    const DicomElement& el = scan.element;
    if (el.group == 0x7FE0 && el.element == 0x0010 && scan.walk.AtTopLevel()) {
      long offset = std::ftell(stream);
      LastScanFindings.pixelDataLength = el.declaredLength;
      ApplyClosingRules(scan);
      if (offset <= 0 || offset > std::numeric_limits<std::int32_t>::max()) {
        ReportLoadFailure(LoadFailure::kNoPixelData, "the Pixel Data element lies beyond 2 GiB");
        return kScanFailed;
      }
      return static_cast<std::int32_t>(offset);
    }
    if (std::int32_t result = ApplyElement(scan)) return result;
  }
}

std::int32_t ScanStudyHeader(const char* path) {
  std::FILE* stream = OpenDicomFile(path);
  if (stream == nullptr) {
    ReportOpenFailure(path);
    return kScanFailed;
  }
  std::int32_t result = ScanStudyStream(stream);
  std::fclose(stream);
  return result;
}
