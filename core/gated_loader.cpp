#include "gated_loader.h"

#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "header_scan.h"
#include "load_report.h"
#include "study_state.h"

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__,
              "pixel values are read and written in host order");

std::int16_t WorkMatrixColumns = 0;
std::int16_t WorkMatrixRows = 0;

namespace {

constexpr int kWideMatrix = 128;
constexpr int kWorkValues = kWideMatrix * kWideMatrix;

void ClearRecord() {
  StudyRecord = TStudyRecord{};
}

bool IsRawLittleEndianSyntax(const std::string& uid) {
  return uid == "1.2.840.10008.1.2" || uid == "1.2.840.10008.1.2.1";
}

// Refuses what cannot become 64 x 64 int16 frames in the store, before any
// frame is read. frames is the per-gate count the load would use.
bool StudyFitsTheStore(std::int32_t frames) {
  const ScanFindings& found = LastScanFindings;
  if (found.hasTransferSyntax && !IsRawLittleEndianSyntax(found.transferSyntax)) {
    ReportLoadFailure(
        LoadFailure::kUnsupportedEncoding,
        "compressed or big-endian transfer syntax " + found.transferSyntax + " is not supported");
    return false;
  }
  if (found.bitsAllocated != -1 && found.bitsAllocated != 16) {
    ReportLoadFailure(
        LoadFailure::kUnsupportedEncoding,
        "Bits Allocated " + std::to_string(found.bitsAllocated) + " is not supported (16 only)");
    return false;
  }
  int matrix = StudyRecord.matrixSize;
  if (matrix != 0 && matrix != kFrameSide && matrix != kWideMatrix) {
    ReportLoadFailure(LoadFailure::kUnsupportedMatrix,
                      "matrix " + std::to_string(matrix) + " unsupported (64 or 128 only)");
    return false;
  }
  if (StudyRecord.gateCount > kStoreGates || frames > kStoreFramesPerGate) {
    ReportLoadFailure(LoadFailure::kTooLargeForStore,
                      std::to_string(StudyRecord.gateCount) + " gates of " +
                          std::to_string(frames) +
                          " frames do not fit (at most 16 gates of 64 frames)");
    return false;
  }
  return true;
}

// Names how many bytes the pixel data lack for the whole study.
void ReportShortPixelData(std::FILE* stream, std::int32_t offset, std::size_t frameValues) {
  std::fseek(stream, 0, SEEK_END);
  long long available = std::ftell(stream) - static_cast<long long>(offset);
  long long gates = StudyRecord.gateCount > 1 ? StudyRecord.gateCount : 1;
  long long needed = gates * StudyRecord.frameCount * static_cast<long long>(frameValues) * 2;
  ReportLoadFailure(LoadFailure::kPixelDataShort,
                    "pixel data " + std::to_string(needed - available) + " bytes short (" +
                        std::to_string(needed) + " needed, " + std::to_string(available) +
                        " present)");
}

}  // namespace

void BinMatrix128To64(const std::int16_t* source128, std::int16_t* dest64) {
  for (int i = 0; i < kFrameSide; ++i) {
    const std::int16_t* top = source128 + (2 * i) * kWideMatrix;
    const std::int16_t* bottom = top + kWideMatrix;
    std::int16_t* out = dest64 + i * kFrameSide;
    int j = 0;
#ifdef __SSE2__
    // pmaddwd against ones sums each horizontal pair into 32 bits; packssdw
    // then clamps 10 x the block sum to int16, exactly the scalar rule.
    const __m128i ones = _mm_set1_epi16(1);
    for (; j + 8 <= kFrameSide; j += 8) {
      __m128i sumLow = _mm_add_epi32(
          _mm_madd_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(top + 2 * j)), ones),
          _mm_madd_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(bottom + 2 * j)), ones));
      __m128i sumHigh = _mm_add_epi32(
          _mm_madd_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(top + 2 * j + 8)), ones),
          _mm_madd_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(bottom + 2 * j + 8)),
                         ones));
      // x 10 as (x << 3) + (x << 1); the sum of four int16 fits easily.
      sumLow = _mm_add_epi32(_mm_slli_epi32(sumLow, 3), _mm_slli_epi32(sumLow, 1));
      sumHigh = _mm_add_epi32(_mm_slli_epi32(sumHigh, 3), _mm_slli_epi32(sumHigh, 1));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out + j), _mm_packs_epi32(sumLow, sumHigh));
    }
#endif
    for (; j < kFrameSide; ++j) {
      std::int32_t sum =
          10 * (std::int32_t{top[2 * j]} + top[2 * j + 1] + bottom[2 * j] + bottom[2 * j + 1]);
      if (sum > INT16_MAX) sum = INT16_MAX;
      if (sum < INT16_MIN) sum = INT16_MIN;
      out[j] = static_cast<std::int16_t>(sum);
    }
  }
}

std::int16_t FrameMaximum(const std::int16_t* frame64) {
  std::int16_t maximum = 0;
  for (int r = 5; r <= 45; ++r) {
    for (int c = 0; c < kFrameSide; ++c) {
      if (frame64[r * kFrameSide + c] > maximum) maximum = frame64[r * kFrameSide + c];
    }
  }
  return maximum;
}

int LoadGatedStudy(const char* path) {
  LastLoadReport = LoadReport{};
  ClearRecord();
  std::int32_t offset = ScanStudyHeader(path);
  if (offset < 1) return kLoadFailed;

  std::int32_t frames = StudyRecord.frameCount;
  if (StudyRecord.gateCount >= 1) frames /= StudyRecord.gateCount;
  if (!StudyFitsTheStore(frames)) return kLoadFailed;

  WorkMatrixColumns = StudyRecord.matrixSize;
  WorkMatrixRows = StudyRecord.matrixSize;
  StudyRecord.frameCount = frames;
  StudyRecord.maxCount = 0;

  std::unique_ptr<std::int16_t[]> work(new (std::nothrow) std::int16_t[kWorkValues]);
  if (!work) {
    ReportLoadFailure(LoadFailure::kNoMemory, "no memory for the work frame");
    return kLoadNoMemory;
  }
  std::FILE* stream = std::fopen(path, "rb");
  if (stream == nullptr) {
    ReportLoadFailure(LoadFailure::kCannotReopen, "cannot reopen the file for its pixel data");
    return kLoadPixelDataShort;
  }
  std::fseek(stream, offset, SEEK_SET);

  const std::size_t frameValues =
      static_cast<std::size_t>(WorkMatrixRows) * static_cast<std::size_t>(WorkMatrixColumns);
  int gate = 0;
  do {
    for (std::int32_t f = 0; f < frames; ++f) {
      std::int16_t* slot = ImageStore + FrameSlotIndex(gate, f);
      // A frame is complete or the load fails: the rows of a short frame
      // never reach the store.
      std::size_t got = std::fread(work.get(), sizeof(std::int16_t), frameValues, stream);
      if (got < frameValues) {
        ReportShortPixelData(stream, offset, frameValues);
        std::fclose(stream);
        return kLoadPixelDataShort;
      }
      if (WorkMatrixColumns == kWideMatrix) {
        BinMatrix128To64(work.get(), slot);
      } else {
        std::memcpy(slot, work.get(), frameValues * sizeof(std::int16_t));
      }
      std::int16_t maximum = FrameMaximum(slot);
      if (maximum > StudyRecord.maxCount) StudyRecord.maxCount = maximum;
    }
    ++gate;
  } while (gate < StudyRecord.gateCount);
  std::fclose(stream);

  if (WorkMatrixColumns == kWideMatrix) {
    WorkMatrixColumns = kFrameSide;
    WorkMatrixRows = kFrameSide;
    StudyRecord.pixelSize *= 2.0;
  }
  return kLoadOk;
}
