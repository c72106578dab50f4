// The helper's own JPEG lossless decoder against the IJG library it stands
// in for (GDCM's 16-bit build, which also encodes the inputs): every
// predictor, precision and edge of the image decodes to the source; what it
// does not take is left to IJG; and on damaged codestreams it never accepts
// what IJG refuses, nor decodes other samples than IJG.
#include "helper/jpeg_lossless.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "helper/frame_codecs.h"
#include "tests/core/damaged_codestream.h"
#include "tests/helper/ijg_lossless_encoder.h"

namespace {

using Samples = std::vector<std::uint16_t>;
using Bytes = std::vector<unsigned char>;

enum class Picture { kCounts, kNoise, kRamp, kFlat, kSparse, kStep };

Samples Make(Picture kind, int rows, int columns, int bits, unsigned seed) {
  std::mt19937 random(seed);
  const std::uint32_t largest = (1u << bits) - 1;
  Samples s(static_cast<std::size_t>(rows) * columns);
  for (int y = 0; y < rows; ++y)
    for (int x = 0; x < columns; ++x) {
      std::uint32_t v = 0;
      switch (kind) {
        case Picture::kCounts:
          v = std::poisson_distribution<int>(20.0 + 10.0 * ((x + y) % 7))(random);
          break;
        case Picture::kNoise:  // differences of every category, 16 among them
          v = random();
          break;
        case Picture::kRamp:
          v = static_cast<std::uint32_t>(x * 3 + y * 5);
          break;
        case Picture::kFlat:
          v = largest;
          break;
        case Picture::kSparse:
          v = random() % 23 == 0 ? random() : 0;
          break;
        case Picture::kStep: {
          // Differences of every category, each half as frequent as the one
          // below, and one step from 0 to 32768 and back: category 16, the
          // rarest, with a code longer than the fast tables'.
          const int g = std::min(15, std::geometric_distribution<int>(0.5)(random));
          v = random() & ((1u << g) - 1);
          if (y == rows / 2 && x == columns / 2 - 1) v = 0;
          if (y == rows / 2 && x == columns / 2) v = 32768;
          break;
        }
      }
      s[static_cast<std::size_t>(y) * columns + x] = static_cast<std::uint16_t>(v & largest);
    }
  return s;
}

Bytes Encode(const Samples& samples, int rows, int columns, int predictor, int pointTransform = 0) {
  return EncodeLosslessJpeg(samples, rows, columns, predictor, pointTransform);
}

bool IjgDecodes(const Bytes& stream, int rows, int columns, Samples& samples) {
  samples.assign(static_cast<std::size_t>(rows) * columns, 0);
  std::string why;
  return DecodeJpeg16Frame(stream.data(), stream.size(), FrameTarget{samples.data(), rows, columns},
                           why);
}

bool OwnDecodes(const Bytes& stream, int rows, int columns, Samples& samples) {
  samples.assign(static_cast<std::size_t>(rows) * columns, 0xABCD);
  return DecodeLosslessJpeg(stream.data(), stream.size(), samples.data(), rows, columns);
}

struct Case {
  const char* name;
  Picture picture;
  int rows, columns, bits, predictor;  // bits: of the values, in a 16-bit codestream
};

const Case kDecoded[] = {
    {"counts, predictor 1 (first-order)", Picture::kCounts, 128, 128, 16, 1},
    {"counts, 12 bits, predictor 2", Picture::kCounts, 64, 64, 12, 2},
    {"noise 16-bit, predictor 3", Picture::kNoise, 32, 32, 16, 3},
    {"noise 16-bit, predictor 4", Picture::kNoise, 32, 33, 16, 4},
    {"9-bit values, predictor 5", Picture::kNoise, 17, 23, 9, 5},
    {"ramp, predictor 6", Picture::kRamp, 40, 41, 12, 6},
    {"sparse, predictor 7", Picture::kSparse, 64, 64, 16, 7},
    {"flat at the largest value", Picture::kFlat, 20, 20, 16, 4},
    {"one 0 -> 32768 step (category 16)", Picture::kStep, 128, 128, 16, 1},
    {"one sample", Picture::kCounts, 1, 1, 16, 1},
    {"one row", Picture::kSparse, 1, 97, 16, 4},
    {"one column", Picture::kSparse, 97, 1, 16, 7},
};

TEST(OwnJpegLosslessDecoder, DecodesWhatIjgEncodesToTheSource) {
  unsigned seed = 1;
  for (const Case& c : kDecoded) {
    const Samples source = Make(c.picture, c.rows, c.columns, c.bits, seed++);
    const Bytes stream = Encode(source, c.rows, c.columns, c.predictor);
    Samples own;
    ASSERT_TRUE(OwnDecodes(stream, c.rows, c.columns, own)) << c.name;
    EXPECT_EQ(own, source) << c.name;
  }
}

// Not for this decoder: IJG decodes them (or refuses them) in the helper.
TEST(OwnJpegLosslessDecoder, LeavesOtherCodestreamsToIjg) {
  const Samples counts = Make(Picture::kCounts, 16, 16, 12, 7);
  const Bytes lossless = Encode(counts, 16, 16, 1);
  // The frame header's precision (SOF3 follows the JFIF segment) changed.
  auto precision = [&](int bits) {
    Bytes b = lossless;
    for (std::size_t i = 2; i + 4 < b.size(); ++i)
      if (b[i] == 0xFF && b[i + 1] == 0xC3) {
        b[i + 4] = static_cast<unsigned char>(bits);
        break;
      }
    return b;
  };
  // A restart interval: DRI after SOI.
  Bytes restart = lossless;
  const unsigned char dri[] = {0xFF, 0xDD, 0x00, 0x04, 0x00, 0x00};
  restart.insert(restart.begin() + 2, dri, dri + sizeof dri);
  // One row of 65501 samples, all the first one (a code of one bit for
  // category 0): beyond IJG's largest side, 65500.
  Bytes wide = {0xFF, 0xD8, 0xFF, 0xC3, 0x00, 0x0B, 16,   0x00, 0x01, 0xFF, 0xDD,
                0x01, 0x01, 0x11, 0x00, 0xFF, 0xC4, 0x00, 0x14, 0x00, 1};
  wide.resize(wide.size() + 15, 0);  // the other code lengths
  wide.push_back(0);                 // the one category: 0
  const unsigned char sos[] = {0xFF, 0xDA, 0x00, 0x08, 0x01, 0x01, 0x00, 0x01, 0x00, 0x00};
  wide.insert(wide.end(), sos, sos + sizeof sos);
  wide.resize(wide.size() + (65501 + 7) / 8, 0);
  wide.push_back(0xFF);
  wide.push_back(0xD9);
  // JFIF of another major version (IJG warns).
  Bytes jfix = lossless;
  if (jfix.size() > 11 && jfix[2] == 0xFF && jfix[3] == 0xE0) jfix[11] = 2;
  struct Row {
    const char* name;
    Bytes stream;
    int rows, columns;
  } rows[] = {
      {"a point transform", Encode(counts, 16, 16, 1, 2), 16, 16},
      {"8-bit samples", precision(8), 16, 16},
      // The first sample, predicted from 2^11 instead of 2^15, falls beyond 12 bits.
      {"a sample beyond the precision", precision(12), 16, 16},
      {"a restart interval marker", restart, 16, 16},
      {"JFIF version 2", jfix, 16, 16},
      {"another frame size", lossless, 15, 16},
      {"a side of 65501 samples", wide, 1, 65501},
  };
  Samples out;
  for (const Row& r : rows) EXPECT_FALSE(OwnDecodes(r.stream, r.rows, r.columns, out)) << r.name;
  for (const auto& [name, stream] : BadEndings(lossless))
    EXPECT_FALSE(OwnDecodes(stream, 16, 16, out)) << name;
}

// Byte changes and cuts anywhere in valid codestreams: each one this
// decoder accepts, IJG decodes (within the one warning the helper allows)
// to the same samples.
TEST(OwnJpegLosslessDecoder, NeverAcceptsADamagedCodestreamIjgRefusesOrReadsOtherwise) {
  std::mt19937 random(20261207);
  int accepted = 0, tried = 0;
  for (const Case& c : kDecoded) {
    if (c.rows * c.columns < 64) continue;
    const Bytes stream =
        Encode(Make(c.picture, c.rows, c.columns, c.bits, 99), c.rows, c.columns, c.predictor);
    for (int i = 0; i < 150; ++i) {
      const Bytes damaged = Damaged(stream, random);
      Samples own, reference;
      ++tried;
      if (!OwnDecodes(damaged, c.rows, c.columns, own)) continue;
      ++accepted;
      ASSERT_TRUE(IjgDecodes(damaged, c.rows, c.columns, reference)) << c.name << ", damage " << i;
      ASSERT_EQ(own, reference) << c.name << ", damage " << i;
    }
  }
  EXPECT_GT(accepted, 0) << "of " << tried;
}

}  // namespace
