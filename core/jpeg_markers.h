// The walk over a JPEG codestream's markers to its first frame header, as
// both the converter (checking a codestream before it reaches the decoder)
// and the decoder helper (choosing a codec) need it.
#pragma once

#include <cstddef>

constexpr std::size_t kNoFrameHeader = static_cast<std::size_t>(-1);

// SOF0-SOF15 less DHT (C4), JPG (C8) and DAC (CC); with jpegLs SOF55 (F7) too.
inline bool IsStartOfFrame(unsigned marker, bool jpegLs) {
  return (marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC) ||
         (jpegLs && marker == 0xF7);
}

// The offset of the first marker (its 0xFF) that wanted accepts, walking
// from SOI over segments, fill bytes and markers without a segment, with
// its length field present; kNoFrameHeader when the stream is no JPEG
// stream, ends first, or (when wanted does not accept SOS) reaches a scan.
template <typename Wanted>
std::size_t FindJpegMarker(const unsigned char* b, std::size_t size, Wanted wanted) {
  if (size < 4 || b[0] != 0xFF || b[1] != 0xD8) return kNoFrameHeader;
  std::size_t i = 2;
  while (i + 4 <= size) {
    if (b[i] != 0xFF) return kNoFrameHeader;
    const unsigned marker = b[i + 1];
    if (marker == 0xFF) {
      ++i;  // fill byte
      continue;
    }
    if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7)) {
      i += 2;  // markers without a segment
      continue;
    }
    if (wanted(marker)) return i;
    if (marker == 0xDA) return kNoFrameHeader;  // a scan before the marker wanted
    i += 2 + ((std::size_t{b[i + 2]} << 8) | b[i + 3]);
  }
  return kNoFrameHeader;
}

// The offset of the first frame header's marker (0xFF) in the size bytes at
// b, with at least its sample precision (the fifth byte) present; kNoFrameHeader
// when the stream has none before its first scan or is not a JPEG stream.
inline std::size_t FindJpegFrameHeader(const unsigned char* b, std::size_t size, bool jpegLs) {
  const std::size_t i =
      FindJpegMarker(b, size, [jpegLs](unsigned marker) { return IsStartOfFrame(marker, jpegLs); });
  return i != kNoFrameHeader && i + 5 <= size ? i : kNoFrameHeader;
}
