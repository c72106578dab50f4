#include "core/gated_loader.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "core/codestream_check.h"
#include "core/element_reader.h"
#include "core/frame_count.h"
#include "core/frame_order.h"
#include "core/header_scan.h"
#include "core/pixel_layout.h"
#include "core/transfer_syntax.h"
#include "helper_client/transcoder.h"
#include "model/study_state.h"
#include "platform/input_file.h"
#include "platform/memory_stream.h"
#include "platform/stream_size.h"

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__,
              "pixel values are read and written in host order");

namespace {

constexpr int kWideMatrix = kWideFrameSide;
constexpr int kWorkValues = kWideMatrix * kWideMatrix;

void ClearRecord(TStudyRecord& record) {
  record = TStudyRecord{};
}

// Refuses what cannot become 64 x 64 int16 frames in the store, before any
// frame is read. frames is the per-gate count the load would use.
bool StudyFitsTheStore(LoadSession& session, std::int32_t stated, std::int32_t frames) {
  const ScanFindings& found = session.found;
  const int matrix = session.record.matrixSize;
  const std::string rows = std::to_string(found.rows);  // as stored: 65535, not -1
  if (matrix == 0)
    return session.Fail(LoadFailure::kNoFrames,
                        "the file has no Rows (0028,0010): no image to convert");
  if (matrix != kFrameSide && matrix != kWideMatrix)
    return session.Fail(LoadFailure::kUnsupportedMatrix,
                        "matrix " + rows + " unsupported (" + std::to_string(kFrameSide) + " or " +
                            std::to_string(kWideFrameSide) + " only)");
  if (found.columns != -1 && found.columns != matrix)
    return session.Fail(LoadFailure::kUnsupportedMatrix, "Rows " + rows + " and Columns " +
                                                             std::to_string(found.columns) +
                                                             " differ (square frames only)");
  if (found.bitsAllocated != -1 && found.bitsAllocated != 16)
    return session.Fail(
        LoadFailure::kUnsupportedEncoding,
        "Bits Allocated " + std::to_string(found.bitsAllocated) + " is not supported (16 only)");
  if (found.pixelDataLength == kUndefinedLength && found.encoding != PixelEncoding::kEncapsulated)
    return session.Fail(LoadFailure::kUnsupportedEncoding,
                        "the Pixel Data are encapsulated although the transfer syntax is not");
  if (stated <= 0)
    return session.Fail(LoadFailure::kNoFrames,
                        "Number of Frames is " +
                            (stated == 0 ? std::string("0 or absent") : std::to_string(stated)) +
                            ": no frames to convert");
  if (frames <= 0)
    return session.Fail(LoadFailure::kNoFrames, std::to_string(stated) + " frames over " +
                                                    std::to_string(session.record.gateCount) +
                                                    " gates give no frames per gate");
  // Number of Time Slots is unsigned: above 32767 it is no gate count the
  // record can hold, and no count the store could.
  if (found.numberOfTimeSlots > kStoreGates || frames > kStoreFramesPerGate)
    return session.Fail(LoadFailure::kTooLargeForStore, std::to_string(found.numberOfTimeSlots) +
                                                            " gates of " + std::to_string(frames) +
                                                            " frames do not fit (" +
                                                            StoreLimitText() + ")");
  return true;
}

// Refuses counts that contradict each other, naming the attributes.
bool CountsAgree(LoadSession& session, std::int32_t stated, int gates, std::int32_t frames) {
  const ScanFindings& found = session.found;
  if (std::int64_t{gates} * frames > stated && found.slicesStandInForFrames)
    return session.Fail(
        LoadFailure::kFrameOrder,
        "Number of Slices (0054,0081) " + std::to_string(found.numberOfSlices) + " stands in for " +
            (found.numberOfFrames < 0
                 ? std::string("the absent Number of Frames (0028,0008)")
                 : "Number of Frames (0028,0008) " + std::to_string(found.numberOfFrames)) +
            "; " + std::to_string(gates) + " gates x " + std::to_string(frames) + " slices need " +
            std::to_string(std::int64_t{gates} * frames) + " frames");
  if (std::int64_t{gates} * frames > stated)
    return session.Fail(LoadFailure::kFrameOrder,
                        "Number of Frames (0028,0008) " + std::to_string(stated) +
                            " is fewer than " + std::to_string(gates) +
                            " gates x Number of Slices (0054,0081) " + std::to_string(frames));
  if (found.rrIntervals > 1)
    return session.Fail(LoadFailure::kFrameOrder,
                        "Number of R-R Intervals (0054,0061) is " +
                            std::to_string(found.rrIntervals) +
                            ": only studies gated on one R-R window convert");
  return true;
}

void WarnAboutLeftoverFrames(LoadSession& session, std::int32_t stated, int gates,
                             std::int32_t frames) {
  std::int32_t leftover = stated - gates * frames;
  if (leftover <= 0) return;
  session.Warn("Number of Frames " + std::to_string(stated) + " is more than " +
               std::to_string(gates) + " gates x " + std::to_string(frames) + " frames: the last " +
               std::to_string(leftover) + (leftover == 1 ? " frame is" : " frames are") +
               " not converted");
}

// Names how many bytes the pixel data lack for the whole study.
void ReportShortPixelData(LoadSession& session, long long available, long long needed) {
  session.Fail(LoadFailure::kPixelDataShort,
               "pixel data " + std::to_string(needed - available) + " bytes short (" +
                   std::to_string(needed) + " needed, " + std::to_string(available) + " present)");
}

// Bytes of pixel data the file holds from offset: what remains of the file,
// and no more than the Pixel Data element declares.
long long AvailablePixelBytes(std::FILE* stream, std::int32_t offset, std::uint32_t declared) {
  long long size = RegularFileBytes(stream);
  if (size < 0) {  // a stream over memory: never 2 GiB
    const long here = std::ftell(stream);
    std::fseek(stream, 0, SEEK_END);
    size = std::ftell(stream);
    std::fseek(stream, here, SEEK_SET);
  }
  long long available = size - static_cast<long long>(offset);
  if (declared != kUndefinedLength && static_cast<long long>(declared) < available)
    available = declared;
  return available < 0 ? 0 : available;
}

// Pixels that did not fit a signed 16-bit count and were written as 32767
// (or -32768).
struct ClampCount {
  long long clamped = 0;
  long long below = 0;  // of them, written as -32768

  void Count(std::int64_t value) {
    clamped += value > INT16_MAX || value < INT16_MIN;
    below += value < INT16_MIN;
  }
};

// Counts the values of a binned frame at the int16 limits: 10 x a block sum
// is a multiple of ten, so 32767 and -32768 there are always clamped values.
void CountClampedInBinnedFrame(const std::int16_t* frame64, ClampCount& clamps) {
  for (int v = 0; v < kFrameValues; ++v) {
    clamps.clamped += frame64[v] == INT16_MAX || frame64[v] == INT16_MIN;
    clamps.below += frame64[v] == INT16_MIN;
  }
}

long long NonZeroInStore(const FrameStore& frames, const FrameOrder& order) {
  long long nonZero = 0;
  for (int gate = 0; gate < order.gates; ++gate)
    for (int frame = 0; frame < order.framesPerGate; ++frame) {
      const std::int16_t* slot = frames.Slot(gate, frame);
      for (int v = 0; v < kFrameValues; ++v) nonZero += slot[v] != 0;
    }
  return nonZero;
}

std::string FormatNumber(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%g", value);
  return text;
}

std::string Percent(long long part, long long whole) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f %%", whole > 0 ? 100.0 * part / whole : 0.0);
  return text;
}

// Everything about a loaded study that is written differently from what the
// file holds, one warning each.
void WarnAboutCaveats(LoadSession& session, const FrameOrder& order, const ClampCount& clamps,
                      bool binned) {
  const ScanFindings& found = session.found;
  if (clamps.clamped > 0)
    session.Warn(std::to_string(clamps.clamped) + " pixels (" +
                 Percent(clamps.clamped, NonZeroInStore(session.study.frames, order)) +
                 " of the non-zero ones) exceed the GSD's signed 16-bit counts and are " +
                 (clamps.below > 0 ? "written as 32767 or -32768" : "written as 32767") +
                 (binned ? ": the " + std::to_string(kWideFrameSide) + " x " +
                               std::to_string(kWideFrameSide) +
                               " binning sums 2 x 2 pixels and multiplies by 10"
                         : ": unsigned values above 32767"));
  if (found.rescaleSlope != 1.0 || found.rescaleIntercept != 0.0)
    session.Warn("Rescale Slope " + FormatNumber(found.rescaleSlope) + " and Rescale Intercept " +
                 FormatNumber(found.rescaleIntercept) +
                 " (0028,1053/1052) are not applied: the stored values are written");
  const int gateCount = session.record.gateCount;
  GateCurve& curve = session.report().gateCurve;
  curve = CurveOfStudy(session.study);
  const std::string gating =
      GatingWarning(curve, found.beats, session.options().gatingTolerancePercent);
  if (!gating.empty()) session.Warn(gating);
  if (gateCount <= 1)
    session.Warn(std::string("Number of Time Slots (0054,0071) is ") +
                 (gateCount == 1 ? "1" : "absent") +
                 ": the study is not gated and is written as one gate (division " +
                 std::to_string(gateCount < 0 ? 0 : gateCount) + ")");
}

// One warning when the counts went through lossy compression: the file's
// own syntax says so, the decoder found a lossy codestream under a lossless
// syntax (NEAR above 0, a DCT, a 9/7 wavelet, a point transform), or Lossy
// Image Compression (0028,2110) "01" does (a study a PACS once compressed
// and then decompressed).
void WarnAboutLossyPixels(LoadSession& session, const std::string& syntax, bool lossyAttribute,
                          const std::string& lossyCodestream = "") {
  if (IsLossySyntax(syntax))
    session.Warn("the pixel data were stored with lossy compression (" + SyntaxDescription(syntax) +
                 "): the counts are not exactly the acquired ones");
  else if (!lossyCodestream.empty())
    session.Warn("the pixel data were stored with lossy compression (" + lossyCodestream +
                 ", under " + SyntaxDescription(syntax) +
                 "): the counts are not exactly the acquired ones");
  else if (lossyAttribute)
    session.Warn(
        "Lossy Image Compression (0028,2110) is 01: the pixel data went through lossy "
        "compression, so the counts are not exactly the acquired ones");
}

void SwapBytes(std::int16_t* words, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) {
    const auto w = static_cast<std::uint16_t>(words[i]);
    words[i] = static_cast<std::int16_t>(static_cast<std::uint16_t>((w << 8) | (w >> 8)));
  }
}

// Slots a load does not fill hold zeros, never an earlier study's frames.
void ClearUnusedSlots(FrameStore& frames, const FrameOrder& order) {
  for (int gate = 0; gate < kStoreGates; ++gate)
    for (int frame = 0; frame < kStoreFramesPerGate; ++frame)
      if (gate >= order.gates || frame >= order.framesPerGate)
        std::memset(frames.Slot(gate, frame), 0, kFrameValues * sizeof(std::int16_t));
}

// One frame of stored words as the file lays them out (values is the work
// space for a layout other than plain int16) into its 64 x 64 slot.
void StoreFrame(const std::int16_t* words, std::int32_t* values, int matrix,
                const PixelLayout& layout, std::int16_t* slot, ClampCount& clamps) {
  const std::size_t frameValues = static_cast<std::size_t>(matrix) * matrix;
  if (layout.IsPlain()) {
    if (matrix == kWideMatrix)
      BinMatrix128To64(words, slot);
    else
      std::memcpy(slot, words, frameValues * sizeof(std::int16_t));
  } else {
    DecodeStoredValues(reinterpret_cast<const std::uint16_t*>(words), values, frameValues, layout);
    if (matrix == kWideMatrix) {
      BinValues128To64(values, slot);
    } else {
      for (std::size_t v = 0; v < frameValues; ++v) {
        clamps.Count(values[v]);
        slot[v] = SaturateToInt16(values[v]);
      }
    }
  }
  if (matrix == kWideMatrix) CountClampedInBinnedFrame(slot, clamps);
}

// Reads every frame from the stream into its store slot.
int ReadFrames(LoadSession& session, std::FILE* stream, std::int32_t offset,
               const FrameOrder& order, const PixelLayout& layout, bool bigEndian,
               ClampCount& clamps) {
  TStudyRecord& record = session.record;
  const int matrix = record.matrixSize;
  const std::size_t frameValues = static_cast<std::size_t>(matrix) * matrix;
  const long long frameBytes = static_cast<long long>(frameValues) * 2;
  const int frames = order.gates * order.framesPerGate;

  std::unique_ptr<std::int16_t[]> work(new (std::nothrow) std::int16_t[kWorkValues]);
  std::unique_ptr<std::int32_t[]> values;
  if (work && !layout.IsPlain()) values.reset(new (std::nothrow) std::int32_t[kWorkValues]);
  if (!work || (!layout.IsPlain() && !values)) {
    session.Fail(LoadFailure::kNoMemory, "no memory for the work frame");
    return kLoadNoMemory;
  }

  const long long available = AvailablePixelBytes(stream, offset, session.found.pixelDataLength);
  long long remaining = available;
  const long long needed = frameBytes * frames;
  ClearUnusedSlots(session.study.frames, order);
  std::fseek(stream, offset, SEEK_SET);
  for (int i = 0; i < frames; ++i) {
    if (i % order.framesPerGate == 0 && !session.GoOn(LoadStage::kReadingFrames, i, frames))
      return kLoadFailed;
    std::int16_t* slot =
        session.study.frames.data() + static_cast<std::size_t>(order.SlotOf(i)) * kFrameValues;
    // A frame is complete or the load fails: the rows of a short frame
    // never reach the store.
    if (remaining < frameBytes ||
        std::fread(work.get(), sizeof(std::int16_t), frameValues, stream) < frameValues) {
      ReportShortPixelData(session, available, needed);
      return kLoadPixelDataShort;
    }
    remaining -= frameBytes;
    if (bigEndian) SwapBytes(work.get(), frameValues);
    StoreFrame(work.get(), values.get(), matrix, layout, slot, clamps);
    std::int16_t maximum = FrameMaximum(slot);
    if (maximum > record.maxCount) record.maxCount = maximum;
  }
  return kLoadOk;
}

// Where a load stands: the original file, or the decoder's copy of it, and
// whether the operator was already asked about the original.
enum class Source { kOriginal, kDecodedAfterQuestions, kDecoded };

int LoadFromStream(LoadSession& session, std::FILE* stream, Source source);

// What the decoder's copy will hold, so that its bytes count the frames
// decoded as they arrive: the helper writes the header (about as long as the
// original's, up to the Pixel Data value) once the first frame is decoded,
// then each run of frames in order, 16 bits a sample. GDCM's rewrite comes
// whole at its end. Nothing is known of a deflated data set (frames 0).
struct DecodedLayout {
  long long header = 0;
  long long frameBytes = 0;
  long long frames = 0;
};

long long FramesArrived(const DecodedLayout& layout, std::size_t bytes) {
  if (layout.frames <= 0 || layout.frameBytes <= 0) return 0;
  const long long pixels = static_cast<long long>(bytes) - layout.header;
  return std::clamp(pixels / layout.frameBytes, 0LL, layout.frames);
}

// Rewrites the file as explicit VR little endian through the decoder and
// loads that copy from memory; every rule of the scan applies to it. syntax
// is a copy: the scan of the copy renews the findings, where it came from.
int LoadDecoded(LoadSession& session, std::FILE* stream, const std::string syntax, Source source,
                const DecodeBudget& budget, const DecodedLayout& layout) {
  DecodedFile copy;
  std::string why;
  DecodeResult decoded = DecodeToRawLittleEndian(
      stream, copy, why, budget, session.options().decoder, [&session, &copy, &layout](long long) {
        return session.GoOn(LoadStage::kDecoding, FramesArrived(layout, copy.size()),
                            layout.frames);
      });
  if (decoded == DecodeResult::kCancelled) return kLoadFailed;  // the report says so
  if (decoded == DecodeResult::kPixelDataShort) {
    session.Fail(LoadFailure::kPixelDataShort, why);
    return kLoadPixelDataShort;
  }
  if (decoded != DecodeResult::kDecoded) {
    session.Fail(LoadFailure::kUnsupportedEncoding,
                 syntax.empty()
                     ? why
                     : "cannot decode transfer syntax " + SyntaxDescription(syntax) + ": " + why);
    return kLoadFailed;
  }
  std::FILE* memory = OpenMemoryStream(copy.data(), copy.size());
  if (memory == nullptr || std::fseek(memory, 132, SEEK_SET) != 0) {
    if (memory != nullptr) std::fclose(memory);
    session.Fail(LoadFailure::kNoMemory, "no memory for the decoded file");
    return kLoadNoMemory;
  }
  // The copy's scan finds again what the original's did, warnings included.
  ClearRecord(session.record);
  session.report().warnings.clear();
  int result = LoadFromStream(session, memory, source);
  std::fclose(memory);
  if (result == kLoadOk)
    WarnAboutLossyPixels(session, syntax, session.found.lossyCompression, copy.lossy());
  return result;
}

// The frames a load will read, once the counts agree and fit the store.
struct LoadPlan {
  std::int32_t stated = 0;  // Number of Frames as the file gives it
  int gates = 1;
  std::int32_t frames = 0;  // per gate
  bool leftoverNamedBySlices = false;
  FrameOrder order;
};

bool PlanLoad(LoadSession& session, LoadPlan& plan) {
  const ScanFindings& found = session.found;
  plan.stated = session.record.frameCount;
  plan.gates = session.record.gateCount >= 1 ? session.record.gateCount : 1;
  plan.frames = FramesPerGate(plan.stated, plan.gates, found.numberOfSlices);
  if (!StudyFitsTheStore(session, plan.stated, plan.frames) ||
      !CountsAgree(session, plan.stated, plan.gates, plan.frames) ||
      !PlanFrameOrder(plan.stated, plan.gates, plan.frames, found.timeSlots, found.slices,
                      plan.order, session.report()))
    return false;
  plan.leftoverNamedBySlices =
      plan.frames == found.numberOfSlices && plan.stated > plan.gates * plan.frames;
  if (!plan.order.fromVectors)
    WarnAboutLeftoverFrames(session, plan.stated, plan.gates, plan.frames);
  return true;
}

// Frames left over must still be there: a Number of Frames beyond the pixel
// data is a damaged header, not a summed volume.
bool LeftoverFramesArePresent(LoadSession& session, std::FILE* stream, std::int32_t offset,
                              const LoadPlan& plan) {
  if (!plan.leftoverNamedBySlices) return true;
  const long long matrix = session.record.matrixSize;
  const long long all = matrix * matrix * 2 * plan.stated;
  const long long available = AvailablePixelBytes(stream, offset, session.found.pixelDataLength);
  if (available >= all) return true;
  ReportShortPixelData(session, available, all);
  return false;
}

// What decoding a study of stated frames of rows x columns may cost, measured
// on GDCM's codecs: about 48 MiB of libraries and 3.5 times the decoded
// pixels at most; the input is held in memory too. A deflated data set
// cannot be walked first and gets what the largest study the store takes
// would need.
DecodeBudget BudgetFor(long long stated, long long rows, long long columns, long long header,
                       long long fileBytes) {
  constexpr long long kMiB = 1LL << 20;
  constexpr long long kLargestStudyFrames = 1LL * kStoreGates * kStoreFramesPerGate;
  constexpr long long kMaxHelperMemory = 512 * kMiB;
  if (stated <= 0 || stated > kLargestStudyFrames) stated = kLargestStudyFrames;
  const long long pixels = stated * rows * columns * 2;
  DecodeBudget budget;
  budget.helperMemory =
      static_cast<std::size_t>(std::min(kMaxHelperMemory, 64 * kMiB + 4 * pixels + 2 * fileBytes));
  budget.decodedBytes = static_cast<std::size_t>(header + pixels + kMiB);
  return budget;
}

long long FileBytes(std::FILE* stream) {
  return std::max(0LL, RegularFileBytes(stream));
}

// Compressed pixel data go to the decoder only once the header has been
// checked like a raw file's and the first codestream states the image the
// header declares.
int DecodeEncapsulated(LoadSession& session, std::FILE* stream, std::int32_t offset) {
  const ScanFindings& found = session.found;
  const TStudyRecord& record = session.record;
  const int columns = found.columns == -1 ? record.matrixSize : found.columns;
  std::string why;
  if (!CodestreamFitsTheDataSet(stream, offset, found.transferSyntax, record.matrixSize, columns,
                                why)) {
    session.Fail(LoadFailure::kUnsupportedEncoding,
                 "transfer syntax " + SyntaxDescription(found.transferSyntax) + ": " + why);
    return kLoadFailed;
  }
  const DecodedLayout layout{offset, 2LL * record.matrixSize * columns, record.frameCount};
  return LoadDecoded(
      session, stream, found.transferSyntax, Source::kDecodedAfterQuestions,
      BudgetFor(record.frameCount, record.matrixSize, columns, offset, FileBytes(stream)), layout);
}

int LoadFromStream(LoadSession& session, std::FILE* stream, Source source) {
  const bool decoded = source != Source::kOriginal;
  std::int32_t offset = ScanStudyStream(stream, session, source != Source::kDecodedAfterQuestions);
  const ScanFindings& found = session.found;
  const bool needsDecoder = offset == kScanNeedsDecoding ||
                            (offset > 0 && found.encoding == PixelEncoding::kEncapsulated);
  if (needsDecoder && decoded) {
    session.Fail(LoadFailure::kUnsupportedEncoding,
                 "the decoder left transfer syntax " + found.transferSyntax);
    return kLoadFailed;
  }
  if (offset == kScanNeedsDecoding) {
    // Deflated: nothing is known of the study before it is inflated.
    return LoadDecoded(session, stream, found.transferSyntax, Source::kDecoded,
                       BudgetFor(0, kWideMatrix, kWideMatrix, 16 << 20, FileBytes(stream)),
                       DecodedLayout{});
  }
  if (offset < 1) return kLoadFailed;

  LoadPlan plan;
  if (!PlanLoad(session, plan)) return kLoadFailed;
  if (needsDecoder) return DecodeEncapsulated(session, stream, offset);

  Study& study = session.study;
  study.workMatrixColumns = study.record.matrixSize;
  study.workMatrixRows = study.record.matrixSize;
  study.record.frameCount = plan.frames;
  study.record.maxCount = 0;
  if (!LeftoverFramesArePresent(session, stream, offset, plan)) return kLoadPixelDataShort;
  PixelLayout layout = PixelLayoutOf(found.bitsStored, found.highBit, found.pixelRepresentation);
  if (session.options().afterHeaderScan) session.options().afterHeaderScan();
  ClampCount clamps;
  int result = ReadFrames(session, stream, offset, plan.order, layout,
                          found.encoding == PixelEncoding::kRawBigEndian, clamps);
  if (result != kLoadOk) return result;

  const bool binned = study.workMatrixColumns == kWideMatrix;
  if (binned) {
    study.workMatrixColumns = kFrameSide;
    study.workMatrixRows = kFrameSide;
    study.record.pixelSize *= 2.0;
  }
  WarnAboutCaveats(session, plan.order, clamps, binned);
  if (!decoded) WarnAboutLossyPixels(session, found.transferSyntax, found.lossyCompression);
  return kLoadOk;
}

}  // namespace

std::int16_t FrameMaximum(const std::int16_t* frame64) {
  std::int16_t maximum = 0;
  for (int r = 5; r <= 45; ++r) {
    for (int c = 0; c < kFrameSide; ++c) {
      if (frame64[r * kFrameSide + c] > maximum) maximum = frame64[r * kFrameSide + c];
    }
  }
  return maximum;
}

int LoadGatedStudy(const char* path, Study& study, const LoadOptions& options, LoadReport& report) {
  report = LoadReport{};
  LoadSession session(study, options, report);
  ClearRecord(study.record);
  study.found = ScanFindings{};
  study.source.reset();
  study.sourceName = path;
  if (!study.frames.Held()) {
    session.Fail(LoadFailure::kNoMemory, "no memory for the frame store");
    return kLoadNoMemory;
  }
  std::FILE* stream = OpenDicomFile(path);
  if (stream == nullptr) {
    // A data set written without the preamble and "DICM" (as some archives
    // keep them) is walked from its first byte; anything else is junk to the
    // walk and refused as no DICOM file, without a decoder.
    std::FILE* plain = nullptr;
    if (OpenRegularFileStream(path, plain) == 0 && RegularFileBytes(plain) <= 0) {
      std::fclose(plain);
      plain = nullptr;
    }
    int result = kLoadFailed;
    if (plain != nullptr) {
      study.source = IdentityOfStream(plain);
      result = LoadFromStream(session, plain, Source::kOriginal);
      std::fclose(plain);
    }
    if (plain == nullptr || report.failure == LoadFailure::kNoPixelData ||
        report.failure == LoadFailure::kUnsupportedEncoding) {
      report = LoadReport{};
      ReportOpenFailure(path, report);
      result = kLoadFailed;
    }
    return result;
  }
  study.source = IdentityOfStream(stream);
  int result = LoadFromStream(session, stream, Source::kOriginal);
  std::fclose(stream);
  return result;
}
