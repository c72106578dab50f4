// The helper's own lossless JPEG-LS decoder against CharLS, the library it
// stands in for: codestreams CharLS encodes (every edge of the line, the run
// mode, small and large sample ranges, explicit presets) decode to the
// source; what it does not take is left to CharLS; and on damaged
// codestreams it never accepts what CharLS refuses, nor decodes other
// samples than CharLS.
#include "helper/jpegls_lossless.h"

#include <charls/charls.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "tests/core/damaged_codestream.h"

namespace {

using Samples = std::vector<std::uint16_t>;
using Bytes = std::vector<unsigned char>;

enum class Picture { kCounts, kNoise, kRamp, kFlat, kSparse, kEdges, kDips };

// Images of the kinds that exercise each coding path: counts like a gated
// SPECT frame, full-range noise (long codes, escapes), a ramp and a flat
// image (runs across lines), isolated spikes (run interruptions of both
// types), vertical edges (large gradients), a flat image with sparse steps
// of -1 (small negative errors where k is 0 and the bias negative).
Samples Make(Picture kind, int rows, int columns, int maxValue, unsigned seed) {
  std::mt19937 random(seed);
  Samples s(static_cast<std::size_t>(rows) * columns);
  for (int y = 0; y < rows; ++y)
    for (int x = 0; x < columns; ++x) {
      std::uint32_t v = 0;
      switch (kind) {
        case Picture::kCounts:
          v = std::poisson_distribution<int>(20.0 + 10.0 * ((x + y) % 7))(random);
          break;
        case Picture::kNoise:
          v = random();
          break;
        case Picture::kRamp:
          v = static_cast<std::uint32_t>(x * 3 + y * 5);
          break;
        case Picture::kFlat:
          v = 77;
          break;
        case Picture::kSparse:
          v = random() % 23 == 0 ? random() : (random() % 5 == 0 ? 1 : 0);
          break;
        case Picture::kEdges:
          v = (x / 3) % 2 == 0 ? 0 : maxValue;
          break;
        case Picture::kDips:
          v = random() % 3 == 0 ? 40000 - 1 : 40000;
          break;
      }
      s[static_cast<std::size_t>(y) * columns + x] =
          static_cast<std::uint16_t>(v % (maxValue + 1u));
    }
  return s;
}

struct Coding {
  int bits;
  charls::jpegls_pc_parameters presets;  // zeros: the defaults
  int near = 0;
};

Bytes Encode(const Samples& samples, int rows, int columns, const Coding& coding) {
  charls::jpegls_encoder encoder;
  encoder.frame_info(
      {static_cast<std::uint32_t>(columns), static_cast<std::uint32_t>(rows), coding.bits, 1});
  encoder.preset_coding_parameters(coding.presets);
  encoder.near_lossless(coding.near);
  Bytes out(encoder.estimated_destination_size());
  encoder.destination(out);
  out.resize(encoder.encode(samples));
  return out;
}

// CharLS's samples, or false where it refuses the codestream.
bool CharlsDecodes(const Bytes& stream, int rows, int columns, Samples& samples) {
  charls_jpegls_decoder* decoder = charls_jpegls_decoder_create();
  samples.assign(static_cast<std::size_t>(rows) * columns, 0);
  bool ok = charls_jpegls_decoder_set_source_buffer(decoder, stream.data(), stream.size()) ==
                charls::jpegls_errc::success &&
            charls_jpegls_decoder_read_header(decoder) == charls::jpegls_errc::success;
  charls_frame_info info{};
  ok = ok && charls_jpegls_decoder_get_frame_info(decoder, &info) == charls::jpegls_errc::success &&
       info.component_count == 1 && info.bits_per_sample > 8 &&
       info.width == static_cast<std::uint32_t>(columns) &&
       info.height == static_cast<std::uint32_t>(rows) &&
       charls_jpegls_decoder_decode_to_buffer(decoder, samples.data(), samples.size() * 2, 0) ==
           charls::jpegls_errc::success;
  charls_jpegls_decoder_destroy(decoder);
  return ok;
}

bool OwnDecodes(const Bytes& stream, int rows, int columns, Samples& samples) {
  samples.assign(static_cast<std::size_t>(rows) * columns, 0xABCD);
  return DecodeLosslessJpegLs(stream.data(), stream.size(), samples.data(), rows, columns);
}

struct Case {
  const char* name;
  Picture picture;
  int rows, columns;
  Coding coding;
};

const Case kDecoded[] = {
    {"counts 128x128 16-bit", Picture::kCounts, 128, 128, {16, {}}},
    {"counts 64x64 12-bit", Picture::kCounts, 64, 64, {12, {}}},
    {"noise 16-bit (escape codes)", Picture::kNoise, 32, 32, {16, {}}},
    {"noise 9-bit", Picture::kNoise, 17, 23, {9, {}}},
    {"ramp", Picture::kRamp, 40, 41, {12, {}}},
    {"flat: runs over whole lines", Picture::kFlat, 37, 64, {16, {}}},
    {"sparse: run interruptions", Picture::kSparse, 64, 64, {16, {}}},
    {"edges", Picture::kEdges, 30, 31, {16, {}}},
    {"flat 16-bit with sparse -1 steps: k 0", Picture::kDips, 64, 64, {16, {}}},
    {"one sample", Picture::kCounts, 1, 1, {16, {}}},
    {"one row", Picture::kSparse, 1, 97, {16, {}}},
    {"one column", Picture::kSparse, 97, 1, {16, {}}},
    {"two columns", Picture::kCounts, 33, 2, {16, {}}},
    {"RESET 3 halves the contexts often", Picture::kCounts, 48, 48, {16, {0, 0, 0, 0, 3}}},
    {"RESET 255, the largest taken", Picture::kSparse, 64, 64, {16, {0, 0, 0, 0, 255}}},
    {"explicit thresholds", Picture::kCounts, 48, 48, {16, {0, 5, 9, 40, 0}}},
};

TEST(OwnJpegLsDecoder, DecodesWhatCharlsEncodesToTheSource) {
  unsigned seed = 1;
  for (const Case& c : kDecoded) {
    const int maxValue = c.coding.presets.maximum_sample_value != 0
                             ? c.coding.presets.maximum_sample_value
                             : (1 << c.coding.bits) - 1;
    const Samples source = Make(c.picture, c.rows, c.columns, maxValue, seed++);
    const Bytes stream = Encode(source, c.rows, c.columns, c.coding);
    Samples own;
    ASSERT_TRUE(OwnDecodes(stream, c.rows, c.columns, own)) << c.name;
    EXPECT_EQ(own, source) << c.name;
  }
}

// Not for this decoder: CharLS decodes them (or refuses them) in the helper.
TEST(OwnJpegLsDecoder, LeavesOtherCodestreamsToCharls) {
  const Samples counts = Make(Picture::kCounts, 16, 16, 255, 7);
  Samples out;
  const Bytes nearLossless = Encode(counts, 16, 16, {12, {}, 2});
  const Bytes eightBit = Encode(counts, 16, 16, {8, {}});
  const Bytes lossless = Encode(counts, 16, 16, {12, {}});
  Bytes withComment;
  {
    charls::jpegls_encoder encoder;
    encoder.frame_info({16, 16, 12, 1});
    withComment.resize(encoder.estimated_destination_size() + 64);
    encoder.destination(withComment);
    encoder.write_comment("x", 1);
    withComment.resize(encoder.encode(counts));
  }
  struct Row {
    const char* name;
    Bytes stream;
    int rows, columns;
  } rows[] = {
      {"near-lossless", nearLossless, 16, 16},
      {"MAXVAL under 2^bits - 1", Encode(counts, 16, 16, {16, {4095, 0, 0, 0, 0}}), 16, 16},
      // CharLS keeps run-context counts in 8 bits: a larger RESET reads otherwise.
      {"RESET 300", Encode(counts, 16, 16, {16, {0, 0, 0, 0, 300}}), 16, 16},
      {"RESET 1000", Encode(counts, 16, 16, {16, {0, 0, 0, 0, 1000}}), 16, 16},
      {"8-bit samples", eightBit, 16, 16},
      {"a comment segment", withComment, 16, 16},
      {"another frame size", lossless, 16, 15},
  };
  for (const Row& r : rows) EXPECT_FALSE(OwnDecodes(r.stream, r.rows, r.columns, out)) << r.name;
  for (const auto& [name, stream] : BadEndings(lossless))
    EXPECT_FALSE(OwnDecodes(stream, 16, 16, out)) << name;
}

// Byte changes and cuts anywhere in valid codestreams: each one this
// decoder accepts, CharLS decodes to the same samples.
TEST(OwnJpegLsDecoder, NeverAcceptsADamagedCodestreamCharlsRefusesOrReadsOtherwise) {
  std::mt19937 random(20261207);
  int accepted = 0, tried = 0;
  for (const Case& c : kDecoded) {
    if (c.rows * c.columns < 64) continue;
    const int maxValue = c.coding.presets.maximum_sample_value != 0
                             ? c.coding.presets.maximum_sample_value
                             : (1 << c.coding.bits) - 1;
    const Bytes stream =
        Encode(Make(c.picture, c.rows, c.columns, maxValue, 99), c.rows, c.columns, c.coding);
    for (int i = 0; i < 150; ++i) {
      const Bytes damaged = Damaged(stream, random);
      Samples own, reference;
      ++tried;
      if (!OwnDecodes(damaged, c.rows, c.columns, own)) continue;
      ++accepted;
      ASSERT_TRUE(CharlsDecodes(damaged, c.rows, c.columns, reference))
          << c.name << ", damage " << i;
      ASSERT_EQ(own, reference) << c.name << ", damage " << i;
    }
  }
  // Some changes leave a valid codestream (a changed sample value): the
  // comparison above then ran.
  EXPECT_GT(accepted, 0) << "of " << tried;
}

}  // namespace
