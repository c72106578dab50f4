// A codestream with one to three random byte changes or a cut, for the
// codec tests' loops over damaged input.
#pragma once

#include <random>
#include <utility>
#include <vector>

inline std::vector<unsigned char> Damaged(std::vector<unsigned char> bytes, std::mt19937& random) {
  const int changes = 1 + static_cast<int>(random() % 3);
  for (int k = 0; k < changes && !bytes.empty(); ++k) {
    const std::size_t at = random() % bytes.size();
    switch (random() % 4) {
      case 0:
        bytes[at] ^= static_cast<unsigned char>(1u << (random() % 8));
        break;
      case 1:
        bytes[at] = static_cast<unsigned char>(random());
        break;
      case 2:
        bytes[at] = 0xFF;  // a marker's first byte
        break;
      default:
        bytes.resize(at);
        break;
    }
  }
  return bytes;
}

// The endings every frame decoder leaves to its library: data after the
// end of image, a cut before it, nothing at all.
inline std::vector<std::pair<const char*, std::vector<unsigned char>>> BadEndings(
    const std::vector<unsigned char>& valid) {
  std::vector<unsigned char> after = valid;
  after.push_back(1);
  after.push_back(2);
  return {
      {"data after the end of image", after},
      {"cut before the end of image", std::vector<unsigned char>(valid.begin(), valid.end() - 2)},
      {"empty", {}}};
}
