#include "core/header_scan.h"

#include <cerrno>
#include <cstring>
#include <limits>

#include "core/dataset_walk.h"
#include "core/element_reader.h"
#include "core/frame_count.h"
#include "core/transfer_syntax.h"
#include "model/study_state.h"
#include "model/value_text.h"
#include "platform/file_status.h"
#include "platform/input_file.h"
#include "platform/stream_size.h"

const char* const kNonNmQuestionText = "Not NM Images!\n Continue?";
const char* const kQuestionCaption = "Warning";
const char* const kNotReconstructedQuestionText = "Not Reconstructed Images!\n Continue?";

namespace {

constexpr std::uint32_t Tag(std::uint16_t group, std::uint16_t element) {
  return (std::uint32_t{group} << 16) | element;
}

constexpr std::size_t kValueBufferSize = 8192;

struct Scan {
  Scan(std::FILE* s, LoadSession& l)
      : stream(s), walk(s), session(l), record(l.record), found(l.found) {}

  std::FILE* stream;
  DatasetWalk walk;
  LoadSession& session;
  TStudyRecord& record;
  ScanFindings& found;
  DicomElement element{};
  char value[kValueBufferSize];  // every text value lands here, NUL after it
  double thickness = -1.0;
  double spacing = -1.0;
  double pixelSpacing = -1.0;
  bool askOperator = true;  // false: every question counts as Yes

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

  // A binary 16-bit number in the data set's byte order.
  std::uint16_t Word(const unsigned char* b) const {
    return walk.BigEndianValues() ? static_cast<std::uint16_t>((b[0] << 8) | b[1])
                                  : static_cast<std::uint16_t>(b[0] | (b[1] << 8));
  }

  // The first two bytes as a number; a one-byte value is that byte. The
  // rest of a longer value is passed over.
  std::uint16_t Read16() {
    unsigned char b[2] = {0, 0};
    std::size_t take = element.length < 2 ? static_cast<std::size_t>(element.length) : 2;
    std::size_t got = std::fread(b, 1, take, stream);
    if (element.length > 2) std::fseek(stream, element.length - 2, SEEK_CUR);
    if (got == 1 && take == 1) return b[0];
    return Word(b);
  }

  // A 16-bit number into an int field; an empty value leaves it.
  void ReadNumber16(int& into) {
    if (!Empty()) into = Read16();
  }

  // A US multi-value, as many entries as the vector keeps.
  void ReadVector(FrameVector& vector) {
    std::size_t stored = static_cast<std::size_t>(element.length) / 2;
    std::size_t kept = stored < kMaxVectorEntries ? stored : kMaxVectorEntries;
    unsigned char bytes[2 * kMaxVectorEntries];
    std::size_t got = std::fread(bytes, 2, kept, stream);
    for (std::size_t i = 0; i < got; ++i) vector.entries[i] = Word(bytes + 2 * i);
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

std::string TrimPadding(const char* text) {
  std::string value(text);
  while (!value.empty() && (value.back() == ' ' || value.back() == '\0')) value.pop_back();
  std::size_t start = value.find_first_not_of(' ');
  return start == std::string::npos ? std::string() : value.substr(start);
}

// A DICOM date (eight digits) becomes YYYY.MM.DD; anything else, such as an
// old "2001.03.15" or a malformed "2026-03-01", is kept as it stands rather
// than cut into a date it never said.
void StoreDate(TStudyRecord& record, const char* text) {
  const std::string value = TrimPadding(text);
  bool eightDigits = value.size() == 8;
  for (char c : value) eightDigits = eightDigits && c >= '0' && c <= '9';
  if (eightDigits)
    Reformat(record.studyDate, value.c_str(), {4, 2, 2}, '.');
  else
    CopyToField(record.studyDate, value);
}

void KeepFirstTracer(Scan& scan) {
  if (scan.Empty()) return;
  const char* text = scan.ReadText();
  if (scan.record.tracer[0] == '\0') SetField(scan.record.tracer, text);
}

// The operator's answer; the scan of a decoded copy asks nothing again.
bool OperatorAgrees(const Scan& scan, const OperatorQuestion& question) {
  return !scan.askOperator || scan.session.Ask(question);
}

// Returns false when the operator declines a non-NM file.
bool CheckModality(Scan& scan) {
  char modality[3] = {0, 0, 0};
  const char* text = scan.ReadText();
  CopyToField(modality, sizeof modality, text, std::strlen(text));
  // Shorter than two characters, empty included, is not "NM".
  if (std::strcmp(modality, "NM") == 0) return true;
  const std::string found = TrimPadding(text);
  if (OperatorAgrees(scan, {QuestionKind::kNonNmModality, kNonNmQuestionText, kQuestionCaption,
                            true, "Modality: " + (found.empty() ? "(empty)" : found)}))
    return true;
  return scan.session.Fail(
      LoadFailure::kModalityDeclined,
      std::string("modality ") + (modality[0] ? modality : "(empty)") + " declined");
}

// Gated SPECT analysis needs reconstructed slices. The third value of Image
// Type names what the frames are; projections and planar images are
// questioned, RECON TOMO, RECON GATED TOMO and anything else are not.
bool CheckImageType(Scan& scan) {
  if (scan.Empty()) return true;
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
  if (OperatorAgrees(scan, {QuestionKind::kNotReconstructed, kNotReconstructedQuestionText,
                            kQuestionCaption, false, "Image Type: " + TrimPadding(value.c_str())}))
    return true;
  return scan.session.Fail(LoadFailure::kNotReconstructedDeclined,
                           "Image Type " + kind + " holds projections or planar images, not " +
                               "reconstructed slices; declined");
}

// Heart Rate is an IS of any size; the record holds a signed 16-bit count.
// A value that does not fit is missing (-1), and the operator is told.
void StoreHeartRate(Scan& scan) {
  if (scan.Empty()) {
    scan.record.heartRate = -1;
    return;
  }
  const char* text = scan.ReadText();
  std::int32_t rate = ParseWholeNumber(text);
  if (rate < std::numeric_limits<std::int16_t>::min() ||
      rate > std::numeric_limits<std::int16_t>::max()) {
    scan.session.Warn("Heart Rate (0018,1088) " + TrimPadding(text) +
                      " does not fit the GSD header's heart rate: written as -1 (missing)");
    rate = -1;
  }
  scan.record.heartRate = static_cast<std::int16_t>(rate);
}

// Only M and F are sexes analysis software has normal limits for; anything
// else (absent, empty, O) stays unknown rather than guessed.
void StoreSex(Scan& scan) {
  char first = scan.Empty() ? '\0' : scan.ReadText()[0];
  if (first == 'M' || first == 'm')
    SetField(scan.record.sex, "M");
  else if (first == 'F' || first == 'f')
    SetField(scan.record.sex, "F");
  else
    scan.record.sex[0] = '\0';
}

// A beat count or time in ms (IS): the first value the file gives counts (a
// second R-R window's item, which the loader refuses, does not replace it);
// an empty or negative value is none.
void KeepFirstBeatValue(Scan& scan, int& into) {
  if (scan.Empty()) return;
  const std::int32_t value = ParseWholeNumber(scan.ReadText());
  if (into < 0 && value >= 0) into = value;
}

void ApplyClosingRules(const Scan& scan) {
  scan.record.sliceThickness = scan.thickness > scan.spacing ? scan.thickness : scan.spacing;
  scan.record.pixelSize = scan.pixelSpacing;
  if (scan.record.sliceThickness == 1.0) scan.record.sliceThickness = scan.record.pixelSize;
}

// Where an attribute counts. The study's own attributes stand at the top of
// the data set; the same tags inside a sequence describe something else: the
// old values a PACS kept in Original Attributes Sequence (0400,0561), another
// patient's IDs, an icon image, a functional group.
enum class Scope {
  kTopLevel,
  kTopOrGatedInformationItem,  // also directly in an item of (0054,0062)
  kTopOrTracerSequence,        // also inside (0054,0012) or (0054,0016)
  kTopOrGatedInformation,      // also anywhere inside (0054,0062), its Data Information items
};

bool Counts(Scope scope, const DatasetWalk& walk) {
  if (walk.AtTopLevel()) return true;
  switch (scope) {
    case Scope::kTopLevel:
      return false;
    case Scope::kTopOrGatedInformationItem:
      return walk.InItemOfTopLevelSequence(0x0054, 0x0062);
    case Scope::kTopOrGatedInformation:
      return walk.InsideTopLevelSequence(0x0054, 0x0062);
    case Scope::kTopOrTracerSequence:
      return walk.InsideTopLevelSequence(0x0054, 0x0012) ||
             walk.InsideTopLevelSequence(0x0054, 0x0016);
  }
  return false;
}

// What a row does with the element's value: 0 to go on walking, or the
// scan's result. Every row reads or passes over the whole value.
using RowAction = std::int32_t (*)(Scan&);

struct ScanRow {
  std::uint32_t tag;
  Scope scope;
  RowAction apply;
};

// Numbers stored in 16 bits are read as binary US; texts as the whole value.
const ScanRow kScanRows[] = {
    // Transfer Syntax: how the rest is read. Only a deflated data set cannot
    // be walked before the decoder has inflated it.
    {Tag(0x0002, 0x0010), Scope::kTopLevel,
     [](Scan& s) -> std::int32_t {
       ScanFindings& found = s.found;
       found.transferSyntax = TrimPadding(s.ReadText());
       const TransferSyntax& syntax = FindTransferSyntax(found.transferSyntax);
       found.encoding = syntax.encoding;
       s.session.encoding = SyntaxDescription(found.transferSyntax);
       if (found.encoding == PixelEncoding::kDeflated) return kScanNeedsDecoding;
       s.walk.UseForm(syntax.form);
       return 0;
     }},
    // Specific Character Set: how the text values are to be shown.
    {Tag(0x0008, 0x0005), Scope::kTopLevel,
     [](Scan& s) {
       s.session.report().characterSet = s.Empty() ? "" : TrimPadding(s.ReadText());
       return 0;
     }},
    // Image Type: projections and planar images are questioned.
    {Tag(0x0008, 0x0008), Scope::kTopLevel,
     [](Scan& s) { return CheckImageType(s) ? 0 : kScanDeclined; }},
    // Study Date and Time: an empty value empties the field.
    {Tag(0x0008, 0x0020), Scope::kTopLevel,
     [](Scan& s) {
       s.Empty() ? void(s.record.studyDate[0] = '\0') : StoreDate(s.record, s.ReadText());
       return 0;
     }},
    {Tag(0x0008, 0x0030), Scope::kTopLevel,
     [](Scan& s) {
       s.Empty() ? void(s.record.studyTime[0] = '\0')
                 : Reformat(s.record.studyTime, s.ReadText(), {2, 2, 2}, ':');
       return 0;
     }},
    // Modality: anything but NM is questioned.
    {Tag(0x0008, 0x0060), Scope::kTopLevel,
     [](Scan& s) { return CheckModality(s) ? 0 : kScanDeclined; }},
    // Patient: an empty name or ID is marked, not left blank.
    {Tag(0x0010, 0x0010), Scope::kTopLevel,
     [](Scan& s) {
       s.found.patientName = s.Empty() ? "" : s.ReadText();
       SetField(s.record.patientName, s.Empty() ? "No_name" : s.found.patientName.c_str());
       return 0;
     }},
    {Tag(0x0010, 0x0020), Scope::kTopLevel,
     [](Scan& s) {
       s.found.patientId = s.Empty() ? "" : s.ReadText();
       SetField(s.record.patientId, s.Empty() ? "No_ID" : s.found.patientId.c_str());
       return 0;
     }},
    {Tag(0x0010, 0x0040), Scope::kTopLevel, [](Scan& s) { return StoreSex(s), 0; }},
    // Tracer: the first non-empty Radiopharmaceutical or Energy Window Name.
    {Tag(0x0018, 0x0031), Scope::kTopOrTracerSequence,
     [](Scan& s) { return KeepFirstTracer(s), 0; }},
    {Tag(0x0054, 0x0018), Scope::kTopOrTracerSequence,
     [](Scan& s) { return KeepFirstTracer(s), 0; }},
    // Slice thickness and pixel size: candidates settled by the closing rules.
    {Tag(0x0018, 0x0050), Scope::kTopLevel,
     [](Scan& s) {
       if (!s.Empty()) s.thickness = ParseDecimalNumber(s.ReadText());
       return 0;
     }},
    {Tag(0x0018, 0x0088), Scope::kTopLevel,
     [](Scan& s) {
       if (!s.Empty()) s.spacing = ParseDecimalNumber(s.ReadText());
       return 0;
     }},
    {Tag(0x0028, 0x0030), Scope::kTopLevel,
     [](Scan& s) {
       if (!s.Empty()) s.pixelSpacing = ParseDecimalNumber(s.ReadText());
       return 0;
     }},
    // Heart Rate: gated NM files may keep it in the Gated Information item.
    {Tag(0x0018, 0x1088), Scope::kTopOrGatedInformationItem,
     [](Scan& s) { return StoreHeartRate(s), 0; }},
    // The beats the camera kept: shown beside the count curve, never written.
    {Tag(0x0018, 0x1062), Scope::kTopOrGatedInformation,
     [](Scan& s) { return KeepFirstBeatValue(s, s.found.beats.nominalInterval), 0; }},
    {Tag(0x0018, 0x1063), Scope::kTopOrGatedInformation,
     [](Scan& s) {
       if (s.Empty()) return 0;
       const double value = ParseDecimalNumber(s.ReadText());
       if (s.found.beats.frameTime < 0 && value >= 0) s.found.beats.frameTime = value;
       return 0;
     }},
    {Tag(0x0018, 0x1081), Scope::kTopOrGatedInformation,
     [](Scan& s) { return KeepFirstBeatValue(s, s.found.beats.lowRR), 0; }},
    {Tag(0x0018, 0x1082), Scope::kTopOrGatedInformation,
     [](Scan& s) { return KeepFirstBeatValue(s, s.found.beats.highRR), 0; }},
    {Tag(0x0018, 0x1083), Scope::kTopOrGatedInformation,
     [](Scan& s) { return KeepFirstBeatValue(s, s.found.beats.acquired), 0; }},
    {Tag(0x0018, 0x1084), Scope::kTopOrGatedInformation,
     [](Scan& s) { return KeepFirstBeatValue(s, s.found.beats.rejected), 0; }},
    {Tag(0x0018, 0x1086), Scope::kTopOrGatedInformation,
     [](Scan& s) { return KeepFirstBeatValue(s, s.found.beats.skipBeats), 0; }},
    // Image attributes: how the pixel data are laid out.
    {Tag(0x0028, 0x0008), Scope::kTopLevel,
     [](Scan& s) {
       if (!s.Empty()) s.record.frameCount = ParseNumberOfFrames(s.ReadText());
       if (!s.Empty()) s.found.numberOfFrames = s.record.frameCount;
       return 0;
     }},
    {Tag(0x0028, 0x0010), Scope::kTopLevel,
     [](Scan& s) {
       if (!s.Empty()) s.record.matrixSize = static_cast<std::int16_t>(s.Read16());
       s.found.rows = static_cast<std::uint16_t>(s.record.matrixSize);
       return 0;
     }},
    {Tag(0x0028, 0x0011), Scope::kTopLevel,
     [](Scan& s) { return s.ReadNumber16(s.found.columns), 0; }},
    {Tag(0x0028, 0x0100), Scope::kTopLevel,
     [](Scan& s) { return s.ReadNumber16(s.found.bitsAllocated), 0; }},
    {Tag(0x0028, 0x0101), Scope::kTopLevel,
     [](Scan& s) { return s.ReadNumber16(s.found.bitsStored), 0; }},
    {Tag(0x0028, 0x0102), Scope::kTopLevel,
     [](Scan& s) { return s.ReadNumber16(s.found.highBit), 0; }},
    {Tag(0x0028, 0x0103), Scope::kTopLevel,
     [](Scan& s) { return s.ReadNumber16(s.found.pixelRepresentation), 0; }},
    // Rescale Intercept and Slope: stored values are written as they are.
    {Tag(0x0028, 0x1052), Scope::kTopLevel,
     [](Scan& s) {
       if (!s.Empty()) s.found.rescaleIntercept = ParseDecimalNumber(s.ReadText());
       return 0;
     }},
    {Tag(0x0028, 0x1053), Scope::kTopLevel,
     [](Scan& s) {
       if (!s.Empty()) s.found.rescaleSlope = ParseDecimalNumber(s.ReadText());
       return 0;
     }},
    // Lossy Image Compression "01": the counts went through a lossy codec once.
    {Tag(0x0028, 0x2110), Scope::kTopLevel,
     [](Scan& s) {
       if (!s.Empty()) s.found.lossyCompression = TrimPadding(s.ReadText()) == "01";
       return 0;
     }},
    // Number of R-R Intervals: more than one window is refused by the loader.
    {Tag(0x0054, 0x0061), Scope::kTopLevel,
     [](Scan& s) { return s.ReadNumber16(s.found.rrIntervals), 0; }},
    // Frame order vectors, 1-based gates and slices.
    {Tag(0x0054, 0x0070), Scope::kTopLevel,
     [](Scan& s) { return s.ReadVector(s.found.timeSlots), 0; }},
    {Tag(0x0054, 0x0080), Scope::kTopLevel,
     [](Scan& s) { return s.ReadVector(s.found.slices), 0; }},
    // Number of Time Slots: the gates.
    {Tag(0x0054, 0x0071), Scope::kTopLevel,
     [](Scan& s) {
       if (!s.Empty()) s.record.gateCount = static_cast<std::int16_t>(s.Read16());
       s.found.numberOfTimeSlots = static_cast<std::uint16_t>(s.record.gateCount);
       return 0;
     }},
    // Number of Slices: the frames per gate; stands in for a Number of
    // Frames below 5 (old files give 1).
    {Tag(0x0054, 0x0081), Scope::kTopLevel,
     [](Scan& s) {
       if (s.Empty()) return 0;
       std::uint16_t slices = s.Read16();
       s.found.numberOfSlices = slices;
       s.found.slicesStandInForFrames = SlicesStandInForFrames(s.record.frameCount, slices);
       s.record.frameCount = StatedFrames(s.record.frameCount, slices);
       return 0;
     }},
};

const ScanRow* FindRow(std::uint16_t group, std::uint16_t element) {
  const std::uint32_t tag = Tag(group, element);
  for (const ScanRow& row : kScanRows)
    if (row.tag == tag) return &row;
  return nullptr;
}

// Applies the element's row where it counts and passes over its value
// everywhere else. Returns 0 to go on walking, or the scan's result.
std::int32_t ApplyElement(Scan& scan) {
  const ScanRow* row = FindRow(scan.element.group, scan.element.element);
  if (row == nullptr || !Counts(row->scope, scan.walk)) {
    SkipElementValue(scan.stream, scan.element);
    return 0;
  }
  return row->apply(scan);
}

}  // namespace

void ReportOpenFailure(const char* path, LoadReport& report) {
  FileStatus info;
  std::FILE* probe = nullptr;
  int error = StatusOfPath(path, true, info);
  if (error != 0) {
    report.Fail(LoadFailure::kCannotOpen, std::strerror(error));
  } else if (info.type == FileType::kFolder) {
    report.Fail(LoadFailure::kCannotOpen, "is a directory");
  } else if (info.type != FileType::kRegular) {
    report.Fail(LoadFailure::kCannotOpen, "is not a regular file");
  } else if ((error = OpenRegularFileStream(path, probe)) == 0) {
    std::fclose(probe);
    report.Fail(LoadFailure::kNotDicom,
                "not a DICOM file (no \"DICM\" after the 128-byte preamble)");
  } else {
    report.Fail(LoadFailure::kCannotOpen,
                error == kNotRegularFile ? "is not a regular file" : std::strerror(error));
  }
}

namespace {

// How far apart in the file the walk tells the caller where it stands.
constexpr long kWalkProgressBytes = 4L << 20;

}  // namespace

std::int32_t ScanStudyStream(std::FILE* stream, LoadSession& session, bool askOperator) {
  session.found = ScanFindings{};
  Scan scan(stream, session);
  scan.askOperator = askOperator;
  long long reported = 0;
  for (;;) {
    if (scan.walk.Next(scan.element) != 1) {
      session.Fail(LoadFailure::kNoPixelData, scan.walk.Failure().empty()
                                                  ? "the file ends before its Pixel Data element"
                                                  : scan.walk.Failure());
      return kScanFailed;
    }
    const DicomElement& el = scan.element;
    if (el.group == 0x7FE0 && el.element == 0x0010 && scan.walk.AtTopLevel()) {
      const long long offset = StreamOffset(stream);
      session.found.pixelDataLength = el.declaredLength;
      ApplyClosingRules(scan);
      if (offset <= 0 || offset > std::numeric_limits<std::int32_t>::max()) {
        session.Fail(LoadFailure::kNoPixelData, "the Pixel Data element lies beyond 2 GiB");
        return kScanFailed;
      }
      if (scan.walk.WalkPastPixelData(scan.element) != 1) {
        session.Fail(LoadFailure::kNoPixelData, scan.walk.Failure());
        return kScanFailed;
      }
      return static_cast<std::int32_t>(offset);
    }
    if (std::int32_t result = ApplyElement(scan)) return result;
    const long long here = StreamOffset(stream);
    if (here - reported >= kWalkProgressBytes) {
      reported = here;
      if (!session.GoOn(LoadStage::kReadingHeader, here, 0)) return kScanDeclined;
    }
  }
}

std::int32_t ScanStudyHeader(const char* path, LoadSession& session) {
  session.found = ScanFindings{};
  std::FILE* stream = OpenDicomFile(path);
  if (stream == nullptr) {
    ReportOpenFailure(path, session.report());
    return kScanFailed;
  }
  std::int32_t result = ScanStudyStream(stream, session);
  std::fclose(stream);
  return result;
}
