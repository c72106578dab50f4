#include "helper/jpegls_lossless.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <vector>

#include "helper/scan_bits.h"

namespace {

// Markers (T.87 Table C.1).
constexpr unsigned kSoi = 0xD8, kSof55 = 0xF7, kLse = 0xF8, kSos = 0xDA;

// Run lengths of the run mode, 2^J[RUNindex] (T.87 A.7.1.2).
constexpr int kRunOrder[32] = {0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,  2,  3,  3,  3,  3,
                               4, 4, 5, 5, 6, 6, 7, 7, 8, 9, 10, 11, 12, 13, 14, 15};

int Be16(const unsigned char* b) {
  return (b[0] << 8) | b[1];
}

// The coding parameters of the one scan.
struct Parameters {
  int bits = 0, rows = 0, columns = 0;
  int maxValue = 0, t1 = 0, t2 = 0, t3 = 0, reset = 0;  // 0: the default
};

// The default thresholds for NEAR 0 and MAXVAL of at least 511 (T.87
// C.2.4.1.1.1), for those the LSE segment leaves at 0.
void DefaultThresholds(Parameters& p) {
  const int m = p.maxValue;
  auto clamp = [m](int value, int low) { return value > m || value < low ? low : value; };
  const int factor = (std::min(m, 4095) + 128) / 256;
  const int t1 = clamp(factor * (3 - 2) + 2, 1);
  const int t2 = clamp(factor * (7 - 3) + 3, t1);
  const int t3 = clamp(factor * (21 - 4) + 4, t2);
  if (p.t1 == 0) p.t1 = t1;
  if (p.t2 == 0) p.t2 = t2;
  if (p.t3 == 0) p.t3 = t3;
}

// Reads the marker segments up to the scan. Only SOI, SOF55, an LSE of
// preset coding parameters and SOS are taken, in that order, as JPEG-LS
// encoders write them for one plane; anything else is CharLS's. Returns the
// scan's first byte, or null.
const unsigned char* ReadHeader(const unsigned char* d, std::size_t size, Parameters& p) {
  if (size < 4 || d[0] != 0xFF || d[1] != kSoi) return nullptr;
  std::size_t pos = 2;
  bool frame = false, presets = false;
  int component = -1;
  for (;;) {
    if (pos + 4 > size || d[pos] != 0xFF) return nullptr;
    const unsigned marker = d[pos + 1];
    const std::size_t length = static_cast<std::size_t>(Be16(d + pos + 2));
    if (length < 2 || length > size - pos - 2) return nullptr;
    const unsigned char* s = d + pos + 4;  // the segment after its length
    if (marker == kSof55 && !frame && length == 11) {
      p.bits = s[0];
      p.rows = Be16(s + 1);
      p.columns = Be16(s + 3);
      // One component, sampled 1 x 1, no quantisation table.
      if (s[5] != 1 || s[7] != 0x11 || s[8] != 0 || p.bits < 9 || p.bits > 16 || p.rows == 0 ||
          p.columns == 0)
        return nullptr;
      component = s[6];
      frame = true;
    } else if (marker == kLse && frame && !presets && length == 13 && s[0] == 1) {
      p.maxValue = Be16(s + 1);
      p.t1 = Be16(s + 3);
      p.t2 = Be16(s + 5);
      p.t3 = Be16(s + 7);
      p.reset = Be16(s + 9);
      presets = true;
    } else if (marker == kSos && frame && length == 8) {
      // One component, NEAR 0, no interleave, no mapping table, no point
      // transform.
      if (s[0] != 1 || s[1] != component || s[2] != 0 || s[3] != 0 || s[4] != 0 || s[5] != 0)
        return nullptr;
      pos += 2 + length;
      break;
    } else {
      return nullptr;
    }
    pos += 2 + length;
  }
  // MAXVAL as the sample precision gives it: CharLS codes another MAXVAL
  // of 12 or 16 bits with the precision's own range, and clamps predictions
  // to it by masking, so that only CharLS reads those as it wrote them.
  const int largest = (1 << p.bits) - 1;
  if (p.maxValue == 0) p.maxValue = largest;
  if (p.maxValue != largest) return nullptr;
  if (p.reset == 0) p.reset = 64;
  DefaultThresholds(p);
  // Explicit values out of their ranges (T.87 C.2.4.1.1) are CharLS's to
  // refuse. So is a RESET above 255, which the standard allows: CharLS
  // keeps the run contexts' counts in 8 bits and the regular ones' sums
  // below 2^24, and reads such a scan otherwise than the standard, or not.
  if (p.t1 < 1 || p.t1 > p.maxValue || p.t2 < p.t1 || p.t2 > p.maxValue || p.t3 < p.t2 ||
      p.t3 > p.maxValue || p.reset < 3 || p.reset > 255)
    return nullptr;
  return d + pos;
}

// A limited-length Golomb code takes at most 48 bits before its last
// qbpp or k bits, read after a fill of their own.
using BitReader = ScanBits<JpegLsStuffing, 57>;

struct RegularContext {
  int a, b, c, n;
};

struct RunContext {
  int a, n, nn;
};

class ScanDecoder {
 public:
  ScanDecoder(const Parameters& p, BitReader& bits) : p_(p), bits_(bits) {
    range_ = p.maxValue + 1;
    qbpp_ = 32 - __builtin_clz(static_cast<unsigned>(range_ - 1));  // ceil(log2(RANGE))
    if (range_ == 1) qbpp_ = 0;
    const int bpp = std::max(2, 32 - __builtin_clz(static_cast<unsigned>(p.maxValue)));
    limit_ = 2 * (bpp + std::max(8, bpp));
    errorLow_ = -(range_ / 2);
    errorHigh_ = (range_ + 1) / 2 - 1;
    const int a = std::max(2, (range_ + 32) / 64);
    for (RegularContext& c : regular_) c = {a, 0, 0, 1};
    run_[0] = {a, 1, 0};
    run_[1] = {a, 1, 0};
  }

  bool Decode(std::uint16_t* words) {
    const int width = p_.columns;
    // Two lines with a sample of margin at each side (T.87 A.2.1).
    std::vector<int> lines(2 * (static_cast<std::size_t>(width) + 2), 0);
    int* previous = lines.data() + 1;
    int* current = previous + width + 2;
    for (int row = 0; row < p_.rows; ++row) {
      previous[width] = previous[width - 1];
      current[-1] = previous[0];
      if (!DecodeLine(previous, current, width)) return false;
      std::uint16_t* out = words + static_cast<std::size_t>(row) * width;
      for (int x = 0; x < width; ++x) out[x] = static_cast<std::uint16_t>(current[x]);
      std::swap(previous, current);
    }
    return true;
  }

 private:
  // -4 to 4 (T.87 A.3.3), without a branch; NEAR is 0.
  inline int Quantize(int d) const {
    const int m = d < 0 ? -d : d;
    const int q = (m > 0) + (m >= p_.t1) + (m >= p_.t2) + (m >= p_.t3);
    return d < 0 ? -q : q;
  }

  // The limited-length Golomb code of T.87 A.5.3; -1 for a damaged one.
  // The longest prefix, limit - qbpp - 1 zeros, is under the 57 bits a fill
  // leaves in the cache.
  inline int ReadMapped(int k, int limit) {
    bits_.Fill();
    const std::uint64_t cache = bits_.Peek();
    const int zeros = cache == 0 ? 64 : __builtin_clzll(cache);
    const int escape = limit - qbpp_ - 1;
    if (zeros > escape) return -1;
    bits_.Skip(zeros + 1);
    bits_.Fill();
    if (zeros == escape) return static_cast<int>(bits_.Take(qbpp_)) + 1;
    if (k == 0) return zeros;
    const long long value = (static_cast<long long>(zeros) << k) + bits_.Take(k);
    return value > 2LL * range_ ? -1 : static_cast<int>(value);
  }

  // The smallest k with N << k >= A.
  static inline int GolombK(int n, int a) {
    if (n >= a) return 0;
    int k = (31 - __builtin_clz(static_cast<unsigned>(a))) -
            (31 - __builtin_clz(static_cast<unsigned>(n)));
    return k + ((static_cast<long long>(n) << k) < a);
  }

  inline int Reconstruct(int value) const {
    if (value < 0) return value + range_;
    if (value > p_.maxValue) return value - range_;
    return value;
  }

  bool DecodeLine(const int* previous, int* current, int width) {
    int x = 0;
    int rb = previous[-1], rd = previous[0];
    while (x < width) {
      const int ra = current[x - 1];
      const int rc = rb;
      rb = rd;
      rd = previous[x + 1];
      int q = (Quantize(rd - rb) * 9 + Quantize(rb - rc)) * 9 + Quantize(rc - ra);
      if (q == 0) {
        const int run = DecodeRun(previous, current, x, width);
        if (run < 0) return false;
        x += run;
        rb = previous[x - 1];
        rd = previous[x];
        continue;
      }
      const int sign = q < 0 ? -1 : 1;
      if (q < 0) q = -q;
      RegularContext& context = regular_[q];
      // The median edge detector (T.87 A.4.1) and the context's correction.
      const int low = ra < rb ? ra : rb, high = ra < rb ? rb : ra;
      int predicted = rc >= high ? low : (rc <= low ? high : ra + rb - rc);
      predicted += sign * context.c;
      if (predicted < 0) predicted = 0;
      if (predicted > p_.maxValue) predicted = p_.maxValue;
      const int k = GolombK(context.n, context.a);
      const int mapped = ReadMapped(k, limit_);
      if (mapped < 0) return false;
      // Even values are the errors from 0 up, odd ones those below; with
      // k 0 and a negative bias the other way round (T.87 A.5.2).
      int error = (mapped & 1) != 0 ? -((mapped + 1) >> 1) : mapped >> 1;
      if (k == 0 && 2 * context.b + context.n - 1 < 0) error = ~error;
      if (error < errorLow_ || error > errorHigh_) return false;
      Update(context, error);
      current[x] = Reconstruct(predicted + sign * error);
      ++x;
    }
    return !bits_.Overrun();
  }

  // Context update and bias correction (T.87 A.6).
  inline void Update(RegularContext& c, int error) const {
    c.a += error < 0 ? -error : error;
    c.b += error;
    if (c.n == p_.reset) {
      c.a >>= 1;
      c.b >>= 1;
      c.n >>= 1;
    }
    ++c.n;
    if (c.b + c.n <= 0) {
      c.b += c.n;
      if (c.b <= -c.n) c.b = -c.n + 1;
      if (c.c > -128) --c.c;
    } else if (c.b > 0) {
      c.b -= c.n;
      if (c.b > 0) c.b = 0;
      if (c.c < 127) ++c.c;
    }
  }

  // Run mode (T.87 A.7): a run of Ra to at most the end of the line, then
  // unless the line ended, the sample that interrupted it. Returns the
  // samples decoded, or -1.
  int DecodeRun(const int* previous, int* current, int start, int width) {
    const int ra = current[start - 1];
    const int left = width - start;
    int count = 0;
    for (;;) {
      bits_.Fill();
      if ((bits_.Peek() >> 63) == 0) break;
      bits_.Skip(1);
      const int length = std::min(1 << kRunOrder[runIndex_], left - count);
      count += length;
      if (length == (1 << kRunOrder[runIndex_]) && runIndex_ < 31) ++runIndex_;
      if (count == left) break;
    }
    if (count < left) {
      bits_.Skip(1);
      const int order = kRunOrder[runIndex_];
      if (order > 0) count += static_cast<int>(bits_.Take(order));
      if (count >= left) return -1;  // an interruption past the end of the line
    }
    for (int i = 0; i < count; ++i) current[start + i] = ra;
    if (bits_.Overrun()) return -1;
    if (count == left) return count;
    const int end = start + count;
    const int rb = previous[end];
    const int value = DecodeInterruption(ra, rb);
    if (value < 0) return -1;
    current[end] = value;
    if (runIndex_ > 0) --runIndex_;
    return count + 1;
  }

  int DecodeInterruption(int ra, int rb) {
    const int type = ra == rb ? 1 : 0;
    RunContext& c = run_[type];
    const int temp = c.a + (c.n >> 1) * type;
    int k = 0;
    while ((static_cast<long long>(c.n) << k) < temp) ++k;
    const int mapped = ReadMapped(k, limit_ - kRunOrder[runIndex_] - 1);
    if (mapped < 0) return -1;
    // T.87 A.7.2.2: the mapping, flipped when k is 0 and the context has
    // seen more negative errors than half its count.
    const int value = mapped + type;
    const bool odd = (value & 1) != 0;
    const int magnitude = (value + (odd ? 1 : 0)) / 2;
    const int error = ((k != 0 || 2 * c.nn >= c.n) == odd) ? -magnitude : magnitude;
    if (error < errorLow_ || error > errorHigh_) return -1;
    if (error < 0) ++c.nn;
    c.a += (mapped + 1 - type) >> 1;
    if (c.n == p_.reset) {
      c.a >>= 1;
      c.n >>= 1;
      c.nn >>= 1;
    }
    ++c.n;
    if (type == 1) return Reconstruct(ra + error);
    return Reconstruct(rb + (rb > ra ? error : -error));
  }

  const Parameters& p_;
  BitReader& bits_;
  int range_, qbpp_, limit_, errorLow_, errorHigh_;
  int runIndex_ = 0;
  RegularContext regular_[365];
  RunContext run_[2];
};

}  // namespace

bool DecodeLosslessJpegLs(const unsigned char* data, std::size_t size, std::uint16_t* words,
                          int rows, int columns) {
  Parameters p;
  const unsigned char* scan = ReadHeader(data, size, p);
  if (scan == nullptr || p.rows != rows || p.columns != columns) return false;
  BitReader bits(scan, data + size);
  ScanDecoder decoder(p, bits);
  if (!decoder.Decode(words)) return false;
  // The scan ends with its zero padding, then EOI (CharLS refuses more data).
  const unsigned char* marker = nullptr;
  return !bits.Overrun() && bits.EndsCleanly(true, marker) &&
         EndOfImageFollows(marker, data + size);
}
