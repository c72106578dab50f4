#include "core/pixel_layout.h"

#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include "model/study_state.h"

PixelLayout PixelLayoutOf(int bitsStored, int highBit, int pixelRepresentation) {
  PixelLayout layout;
  if (bitsStored >= 1 && bitsStored <= 16) layout.bitsStored = bitsStored;
  layout.highBit =
      highBit >= layout.bitsStored - 1 && highBit <= 15 ? highBit : layout.bitsStored - 1;
  layout.isSigned = pixelRepresentation != 0;
  return layout;
}

void DecodeStoredValues(const std::uint16_t* stored, std::int32_t* values, std::size_t count,
                        const PixelLayout& layout) {
  const int shift = layout.highBit + 1 - layout.bitsStored;
  const std::uint32_t mask = (1u << layout.bitsStored) - 1u;
  const std::uint32_t signBit = 1u << (layout.bitsStored - 1);
  for (std::size_t i = 0; i < count; ++i) {
    std::uint32_t bits = (std::uint32_t{stored[i]} >> shift) & mask;
    std::int32_t value = static_cast<std::int32_t>(bits);
    if (layout.isSigned && (bits & signBit) != 0)
      value -= static_cast<std::int32_t>(std::int64_t{1} << layout.bitsStored);
    values[i] = value;
  }
}

std::int16_t SaturateToInt16(std::int64_t value) {
  if (value > INT16_MAX) return INT16_MAX;
  if (value < INT16_MIN) return INT16_MIN;
  return static_cast<std::int16_t>(value);
}

namespace {

// The one binning rule: each 2 x 2 block of a 128 x 128 frame sums into one
// value of the 64 x 64 slot, times 10 (GSD files have always held it so),
// saturated to int16.
template <typename Value>
void BinRow(const Value* top, const Value* bottom, std::int16_t* out, int from) {
  for (int j = from; j < kFrameSide; ++j) {
    std::int64_t sum =
        std::int64_t{top[2 * j]} + top[2 * j + 1] + bottom[2 * j] + bottom[2 * j + 1];
    out[j] = SaturateToInt16(10 * sum);
  }
}

}  // namespace

void BinValues128To64(const std::int32_t* source128, std::int16_t* dest64) {
  for (int i = 0; i < kFrameSide; ++i) {
    const std::int32_t* top = source128 + (2 * i) * kWideFrameSide;
    BinRow(top, top + kWideFrameSide, dest64 + i * kFrameSide, 0);
  }
}

void BinMatrix128To64(const std::int16_t* source128, std::int16_t* dest64) {
  for (int i = 0; i < kFrameSide; ++i) {
    const std::int16_t* top = source128 + (2 * i) * kWideFrameSide;
    const std::int16_t* bottom = top + kWideFrameSide;
    std::int16_t* out = dest64 + i * kFrameSide;
    int j = 0;
#ifdef __SSE2__
    // pmaddwd against ones sums each horizontal pair into 32 bits; packssdw
    // then clamps 10 x the block sum to int16, exactly BinRow's rule.
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
    BinRow(top, bottom, out, j);
  }
}
