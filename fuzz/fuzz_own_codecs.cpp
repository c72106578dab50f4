// libFuzzer target: the decoder helper's own JPEG lossless and JPEG-LS
// decoders on any codestream, beside the libraries they stand in for (GDCM's
// 16-bit IJG build, CharLS). Whatever one accepts, its library must decode
// to the same samples; neither may read or write out of bounds on the way.
#include <charls/charls.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "helper/frame_codecs.h"
#include "helper/jpeg_lossless.h"
#include "helper/jpegls_lossless.h"

namespace {

using Samples = std::vector<std::uint16_t>;

// The frame size a frame header (SOF3 or SOF55) near the start states, as
// the helper would ask for it; 8 x 8 without one.
void FrameSize(const std::uint8_t* data, std::size_t size, int& rows, int& columns) {
  rows = columns = 8;
  for (std::size_t i = 0; i + 9 < size && i < 512; ++i)
    if (data[i] == 0xFF && (data[i + 1] == 0xC3 || data[i + 1] == 0xF7)) {
      rows = (data[i + 5] << 8) | data[i + 6];
      columns = (data[i + 7] << 8) | data[i + 8];
      return;
    }
}

bool CharlsDecodes(const std::vector<unsigned char>& input, Samples& out) {
  charls_jpegls_decoder* decoder = charls_jpegls_decoder_create();
  if (decoder == nullptr) std::abort();
  charls_frame_info info{};
  const bool ok =
      charls_jpegls_decoder_set_source_buffer(decoder, input.data(), input.size()) ==
          charls::jpegls_errc::success &&
      charls_jpegls_decoder_read_header(decoder) == charls::jpegls_errc::success &&
      charls_jpegls_decoder_get_frame_info(decoder, &info) == charls::jpegls_errc::success &&
      info.component_count == 1 && info.width * info.height == out.size() &&
      charls_jpegls_decoder_decode_to_buffer(decoder, out.data(), out.size() * 2, 0) ==
          charls::jpegls_errc::success;
  charls_jpegls_decoder_destroy(decoder);
  return ok;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  int rows, columns;
  FrameSize(data, size, rows, columns);
  if (rows < 1 || columns < 1 || 1LL * rows * columns > 65536) return 0;
  // A copy of exactly size bytes, so that the sanitizer sees any read past it.
  const std::vector<unsigned char> input(data, data + size);
  const std::size_t count = static_cast<std::size_t>(rows) * columns;
  Samples own(count), reference(count);
  if (DecodeLosslessJpeg(input.data(), input.size(), own.data(), rows, columns)) {
    std::string why;
    if (!DecodeJpeg16Frame(input.data(), input.size(), FrameTarget{reference.data(), rows, columns},
                           why) ||
        reference != own)
      std::abort();
  }
  if (DecodeLosslessJpegLs(input.data(), input.size(), own.data(), rows, columns)) {
    if (!CharlsDecodes(input, reference) || reference != own) std::abort();
  }
  return 0;
}
