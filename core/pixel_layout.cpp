#include "pixel_layout.h"

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

void BinValues128To64(const std::int32_t* source128, std::int16_t* dest64) {
  for (int i = 0; i < 64; ++i) {
    const std::int32_t* top = source128 + (2 * i) * 128;
    const std::int32_t* bottom = top + 128;
    for (int j = 0; j < 64; ++j) {
      std::int64_t sum =
          std::int64_t{top[2 * j]} + top[2 * j + 1] + bottom[2 * j] + bottom[2 * j + 1];
      dest64[i * 64 + j] = SaturateToInt16(10 * sum);
    }
  }
}
