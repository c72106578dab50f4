// How stored pixel values become counts: Bits Stored, High Bit and Pixel
// Representation. Values that do not fit a signed 16-bit count saturate.
#pragma once

#include <cstddef>
#include <cstdint>

struct PixelLayout {
  int bitsStored = 16;
  int highBit = 15;
  bool isSigned = true;

  // Signed values in all 16 bits: the stored words are the counts.
  bool IsPlain() const { return bitsStored == 16 && isSigned; }
};

// The layout that the file's attributes describe; -1 marks an absent one.
// Absent or impossible values fall back to 16 signed bits, the layout the
// converter always assumed.
PixelLayout PixelLayoutOf(int bitsStored, int highBit, int pixelRepresentation);

// The value of each stored word: the bits from High Bit down, sign-extended
// when signed. Bits above High Bit (old overlays) are dropped.
void DecodeStoredValues(const std::uint16_t* stored, std::int32_t* values, std::size_t count,
                        const PixelLayout& layout);

std::int16_t SaturateToInt16(std::int64_t value);

// Bins a 128 x 128 frame to 64 x 64: each 2 x 2 block summed, times 10,
// saturated to int16. The int32 form takes values that may exceed int16
// (unsigned, decoded from their bit layout).
void BinMatrix128To64(const std::int16_t* source128, std::int16_t* dest64);
void BinValues128To64(const std::int32_t* source128, std::int16_t* dest64);
