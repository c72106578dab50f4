#include "helper/jpeg_lossless.h"

#include <cstring>

#include "helper/scan_bits.h"

namespace {

// Markers (T.81 Table B.1).
constexpr unsigned kSof3 = 0xC3, kDht = 0xC4, kSoi = 0xD8, kSos = 0xDA, kApp0 = 0xE0, kApp15 = 0xEF,
                   kCom = 0xFE;
constexpr int kLookahead = 12;  // bits of the fast tables
constexpr int kLargestSide = 65500;

int Be16(const unsigned char* b) {
  return (b[0] << 8) | b[1];
}

// A Huffman table of difference categories (T.81 C, F.2.2.3): tables of
// the first kLookahead bits, then the canonical codes by length.
struct HuffmanTable {
  bool defined = false;
  // Per kLookahead-bit prefix that holds a whole code and its extra bits:
  // (difference + 32768) << 8 | the bits they take; 0 for other prefixes.
  std::uint32_t whole[1 << kLookahead];
  // Per kLookahead-bit prefix: code length (0: longer) and category.
  unsigned char length[1 << kLookahead];
  unsigned char category[1 << kLookahead];
  int maxCode[18];  // the largest code of each length, -1 for none
  int offset[17];   // index of a length's first code in values, less that code
  unsigned char values[256];
};

// A category's difference from its extra bits (T.81 F.2.2.1, H.1.2.2:
// category 16 is 32768 and has none).
inline int Difference(int category, int value) {
  if (category == 0) return 0;
  if (category == 16) return 32768;
  return value < (1 << (category - 1)) ? value - (1 << category) + 1 : value;
}

// Builds the table as IJG does, and refuses what IJG refuses (more codes
// than a length holds, a category above 16) and a table whose last code is
// all ones, which the standard forbids (IJG decodes it: a slower way, not
// a different one).
bool BuildTable(const unsigned char* counts, const unsigned char* symbols, int total,
                HuffmanTable& t) {
  for (int i = 0; i < total; ++i)
    if (symbols[i] > 16) return false;
  std::memcpy(t.values, symbols, static_cast<std::size_t>(total));
  std::memset(t.length, 0, sizeof t.length);
  std::memset(t.whole, 0, sizeof t.whole);
  int code = 0, index = 0;
  for (int len = 1; len <= 16; ++len) {
    const int n = counts[len - 1];
    t.offset[len] = index - code;
    if (n > 0 && code + n >= (1 << len)) return false;
    for (int i = 0; i < n; ++i, ++code, ++index) {
      if (len > kLookahead) continue;
      const int shift = kLookahead - len;
      const int category = symbols[index];
      for (int fill = 0; fill < (1 << shift); ++fill) {
        const int prefix = (code << shift) | fill;
        t.length[prefix] = static_cast<unsigned char>(len);
        t.category[prefix] = static_cast<unsigned char>(category);
        const int extra = category == 16 ? 0 : category;
        if (len + extra > kLookahead) continue;
        const int value = extra == 0 ? 0 : fill >> (shift - extra);
        t.whole[prefix] = static_cast<std::uint32_t>(Difference(category, value) + 32768) << 8 |
                          static_cast<std::uint32_t>(len + extra);
      }
    }
    t.maxCode[len] = n > 0 ? code - 1 : -1;
    code <<= 1;
  }
  t.maxCode[17] = 0x7FFFFFFF;  // stops the search for a code of no length
  t.defined = true;
  return true;
}

struct Frame {
  int bits = 0, rows = 0, columns = 0, component = -1;
  int predictor = 0;
  const HuffmanTable* table = nullptr;
};

// An APP0 segment (its data): a JFIF one must be version 1 (IJG warns
// otherwise).
bool App0IsHarmless(const unsigned char* s, std::size_t length) {
  if (length < 14 || std::memcmp(s, "JFIF\0", 5) != 0) return true;
  return s[5] == 1;
}

// Reads the marker segments up to the scan: SOI, then APPn, COM, DHT and
// one SOF3 in any order, then SOS. Returns the scan's first byte, or null.
const unsigned char* ReadHeader(const unsigned char* d, std::size_t size, Frame& f,
                                HuffmanTable (&tables)[4]) {
  if (size < 4 || d[0] != 0xFF || d[1] != kSoi) return nullptr;
  std::size_t pos = 2;
  for (;;) {
    if (pos + 4 > size || d[pos] != 0xFF) return nullptr;
    const unsigned marker = d[pos + 1];
    const std::size_t length = static_cast<std::size_t>(Be16(d + pos + 2));
    if (length < 2 || length > size - pos - 2) return nullptr;
    const unsigned char* s = d + pos + 4;
    const std::size_t body = length - 2;
    if (marker == kSof3 && f.component < 0 && body == 9) {
      // One component, sampled 1 x 1, of at most 65500 samples a side (IJG's
      // JPEG_MAX_DIMENSION).
      f.bits = s[0];
      f.rows = Be16(s + 1);
      f.columns = Be16(s + 3);
      if (s[5] != 1 || s[7] != 0x11 || f.bits < 9 || f.bits > 16 || f.rows == 0 || f.columns == 0 ||
          f.rows > kLargestSide || f.columns > kLargestSide)
        return nullptr;
      f.component = s[6];
    } else if (marker == kDht) {
      std::size_t at = 0;
      while (at < body) {
        if (body - at < 17 || (s[at] >> 4) != 0 || (s[at] & 0x0F) > 3) return nullptr;
        int total = 0;
        for (int i = 1; i <= 16; ++i) total += s[at + i];
        if (total > 256 || body - at - 17 < static_cast<std::size_t>(total)) return nullptr;
        if (!BuildTable(s + at + 1, s + at + 17, total, tables[s[at] & 0x0F])) return nullptr;
        at += 17 + static_cast<std::size_t>(total);
      }
    } else if (marker == kSos && f.component >= 0 && body == 6) {
      // One component, its table, predictor 1 to 7, Se 0, no point
      // transform.
      if (s[0] != 1 || s[1] != f.component || (s[2] >> 4) > 3 || s[3] < 1 || s[3] > 7 ||
          s[4] != 0 || s[5] != 0)
        return nullptr;
      f.table = &tables[s[2] >> 4];
      if (!f.table->defined) return nullptr;
      f.predictor = s[3];
      return d + pos + 2 + length;
    } else if (marker == kApp0) {
      if (!App0IsHarmless(s, body)) return nullptr;
    } else if ((marker <= kApp0 || marker > kApp15) && marker != kCom) {
      return nullptr;  // DRI, DQT, another frame type, a second SOF...
    }
    pos += 2 + length;
  }
}

// A code and its extra bits take at most 31 bits.
using BitReader = ScanBits<JpegStuffing, 32>;

// One difference (T.81 H.2.2), or false for a code of no table entry.
inline bool ReadDifference(BitReader& bits, const HuffmanTable& t, int& difference) {
  bits.Fill();
  const std::uint64_t cache = bits.Peek();
  const unsigned prefix = static_cast<unsigned>(cache >> (64 - kLookahead));
  const std::uint32_t whole = t.whole[prefix];
  if (whole != 0) {
    bits.Skip(static_cast<int>(whole & 0xFF));
    difference = static_cast<int>(whole >> 8) - 32768;
    return true;
  }
  int category;
  if (t.length[prefix] != 0) {
    bits.Skip(t.length[prefix]);
    category = t.category[prefix];
  } else {
    int len = kLookahead + 1;
    while (static_cast<int>(cache >> (64 - len)) > t.maxCode[len]) ++len;
    if (len > 16) return false;
    category = t.values[t.offset[len] + static_cast<int>(cache >> (64 - len))];
    bits.Skip(len);
  }
  const int extra = category == 16 ? 0 : category;
  difference = Difference(category, extra == 0 ? 0 : static_cast<int>(bits.Take(extra)));
  return true;
}

// The prediction of T.81 Table H.1 from the left (a), upper (b) and
// upper-left (c) samples.
inline int Predict(int predictor, int a, int b, int c) {
  switch (predictor) {
    case 1:
      return a;
    case 2:
      return b;
    case 3:
      return c;
    case 4:
      return a + b - c;
    case 5:
      return a + ((b - c) >> 1);
    case 6:
      return b + ((a - c) >> 1);
    default:
      return (a + b) >> 1;
  }
}

// Samples are reconstructed modulo 2^16 (H.2.1); beyond the precision
// only a damaged codestream puts them.
bool DecodeScan(const Frame& f, BitReader& bits, std::uint16_t* words) {
  const int largest = (1 << f.bits) - 1;
  const int width = f.columns;
  std::uint16_t* previous = nullptr;
  for (int row = 0; row < f.rows; ++row) {
    std::uint16_t* line = words + static_cast<std::size_t>(row) * width;
    // The first sample: 2^(P-1) on the first line, the one above after.
    int prediction = row == 0 ? 1 << (f.bits - 1) : previous[0];
    int difference;
    for (int x = 0; x < width; ++x) {
      if (x > 0)
        prediction = row == 0 ? line[x - 1]
                              : Predict(f.predictor, line[x - 1], previous[x], previous[x - 1]);
      if (!ReadDifference(bits, *f.table, difference)) return false;
      const int sample = (prediction + difference) & 0xFFFF;
      if (sample > largest) return false;
      line[x] = static_cast<std::uint16_t>(sample);
    }
    if (bits.Overrun()) return false;
    previous = line;
  }
  return true;
}

}  // namespace

bool DecodeLosslessJpeg(const unsigned char* data, std::size_t size, std::uint16_t* words, int rows,
                        int columns) {
  Frame frame;
  HuffmanTable tables[4];
  const unsigned char* scan = ReadHeader(data, size, frame, tables);
  if (scan == nullptr || frame.rows != rows || frame.columns != columns) return false;
  BitReader bits(scan, data + size);
  if (!DecodeScan(frame, bits, words)) return false;
  // The scan ends with its padding (IJG's ones), then EOI.
  const unsigned char* marker = nullptr;
  return bits.EndsCleanly(false, marker) && EndOfImageFollows(marker, data + size);
}
