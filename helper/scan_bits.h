// The entropy-coded data of one JPEG (T.81) or JPEG-LS (T.87) scan, read
// most significant bit first through a 64-bit cache. The two differ only in
// what follows a 0xFF byte (the Stuffing rule). At a marker the data end:
// further reads get zeros and count them, so that a code that runs past the
// end fails its frame instead of being decoded from padding.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

// T.81 F.1.2.3: 0xFF 0x00 is a data byte 0xFF; 0xFF and anything else a
// marker.
struct JpegStuffing {
  // Puts the next data byte into the cache; false at the end of the data.
  static bool Next(const unsigned char*& p, const unsigned char* end, std::uint64_t& cache,
                   int& valid) {
    std::uint64_t byte;
    if (p < end && *p != 0xFF) {
      byte = *p++;
    } else if (p + 1 < end && p[1] == 0x00) {
      byte = 0xFF;
      p += 2;
    } else {
      return false;
    }
    cache |= byte << (56 - valid);
    valid += 8;
    return true;
  }
};

// T.87 A.1: after 0xFF, a byte below 0x80 carries 7 bits (its top bit is a
// stuffed 0); one of 0x80 or more makes a marker.
struct JpegLsStuffing {
  static bool Next(const unsigned char*& p, const unsigned char* end, std::uint64_t& cache,
                   int& valid) {
    if (p >= end || (*p == 0xFF && (p + 1 >= end || (p[1] & 0x80) != 0))) return false;
    const std::uint64_t byte = *p++;
    cache |= byte << (56 - valid);
    // After 0xFF the next byte's top bit, the stuffed 0, overlaps this
    // byte's last bit.
    valid += byte == 0xFF ? 7 : 8;
    return true;
  }
};

// kKept: the bits a Fill leaves in the cache at least (at most 57).
template <typename Stuffing, int kKept>
class ScanBits {
 public:
  ScanBits(const unsigned char* p, const unsigned char* end) : p_(p), end_(end) {
    nextFF_ = FindFF(p_);
    Fill();
  }

  inline void Fill() {
    if (valid_ >= kKept) return;
    if (nextFF_ - p_ >= 8) {
      // No 0xFF in the next 8 bytes: whole bytes at once. The top bits of
      // the byte after them land below the valid bits, where the next fill
      // puts the same bits again.
      std::uint64_t word;
      std::memcpy(&word, p_, 8);
      cache_ |= __builtin_bswap64(word) >> valid_;
      const int bytes = (64 - valid_) >> 3;
      p_ += bytes;
      valid_ += bytes * 8;
      return;
    }
    while (valid_ <= 56) {
      if (!Stuffing::Next(p_, end_, cache_, valid_)) {
        valid_ += 8;
        padding_ += 8;
      }
    }
    nextFF_ = FindFF(p_);
  }

  inline std::uint64_t Peek() const { return cache_; }
  inline void Skip(int n) {
    cache_ <<= n;
    valid_ -= n;
  }
  // n bits, 1 to 32, which the cache holds.
  inline std::uint32_t Take(int n) {
    const auto value = static_cast<std::uint32_t>(cache_ >> (64 - n));
    Skip(n);
    return value;
  }
  // Some code used bits past the end of the scan.
  bool Overrun() const { return valid_ < padding_; }
  // After the last sample: nothing but the last byte's padding (zero bits,
  // when zeroPadding), then a marker. Gives the marker's place.
  bool EndsCleanly(bool zeroPadding, const unsigned char*& marker) const {
    const int left = valid_ - padding_;
    if (left < 0 || left >= 8 || p_ >= end_ || *p_ != 0xFF) return false;
    if (zeroPadding && left > 0 && (cache_ >> (64 - left)) != 0) return false;
    marker = p_;
    return true;
  }

 private:
  const unsigned char* FindFF(const unsigned char* from) const {
    const void* ff = std::memchr(from, 0xFF, static_cast<std::size_t>(end_ - from));
    return ff == nullptr ? end_ : static_cast<const unsigned char*>(ff);
  }

  const unsigned char* p_;
  const unsigned char* end_;
  const unsigned char* nextFF_;
  std::uint64_t cache_ = 0;
  int valid_ = 0;
  int padding_ = 0;
};

// After a scan's marker: EOI, after any fill bytes (0xFF), then nothing but
// a pad byte of the fragment.
inline bool EndOfImageFollows(const unsigned char* marker, const unsigned char* end) {
  while (end - marker >= 2 && marker[0] == 0xFF && marker[1] == 0xFF) ++marker;
  const std::ptrdiff_t left = end - marker;
  return left >= 2 && left <= 3 && marker[0] == 0xFF && marker[1] == 0xD9 &&
         (left == 2 || marker[2] == 0);
}
