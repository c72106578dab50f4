// SHA-256 (FIPS 180-4), for telling whether two objects that carry the same
// SOP Instance UID hold the same bytes. Nothing else the node links offers
// one (DCMTK keeps its digests private, and OpenSSL is not linked).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

class Sha256 {
 public:
  Sha256();
  void Update(const void* data, std::size_t size);
  // The digest as 64 lower-case hex digits; the object is spent afterwards.
  std::string HexDigest();

 private:
  void Block(const unsigned char* block);
  std::uint32_t state_[8];
  unsigned char buffer_[64];
  std::size_t buffered_ = 0;
  std::uint64_t length_ = 0;  // bytes so far
};
