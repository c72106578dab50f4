// libFuzzer target: the decoder helper's own lossless JPEG-LS decoder on any
// codestream, beside CharLS. Whatever it accepts, CharLS must decode to the
// same samples; it must never read or write out of bounds on the way.
#include <charls/charls.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "jpegls_lossless.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  charls_jpegls_decoder* decoder = charls_jpegls_decoder_create();
  if (decoder == nullptr) return 0;
  charls_frame_info info{};
  const bool header =
      charls_jpegls_decoder_set_source_buffer(decoder, data, size) ==
          charls::jpegls_errc::success &&
      charls_jpegls_decoder_read_header(decoder) == charls::jpegls_errc::success &&
      charls_jpegls_decoder_get_frame_info(decoder, &info) == charls::jpegls_errc::success;
  // The frame size the helper would ask for; small ones only, for speed.
  const int rows = header ? static_cast<int>(info.height) : 8;
  const int columns = header ? static_cast<int>(info.width) : 8;
  if (rows < 1 || columns < 1 || 1LL * rows * columns > 65536) {
    charls_jpegls_decoder_destroy(decoder);
    return 0;
  }
  std::vector<std::uint16_t> own(static_cast<std::size_t>(rows) * columns);
  // A copy of exactly size bytes, so that the sanitizer sees any read past it.
  std::vector<unsigned char> input(data, data + size);
  const bool accepted = DecodeLosslessJpegLs(input.data(), input.size(), own.data(), rows, columns);
  if (accepted) {
    std::vector<std::uint16_t> reference(own.size());
    const bool charls =
        header && info.component_count == 1 &&
        charls_jpegls_decoder_decode_to_buffer(decoder, reference.data(), reference.size() * 2,
                                               0) == charls::jpegls_errc::success;
    if (!charls || reference != own) std::abort();
  }
  charls_jpegls_decoder_destroy(decoder);
  return 0;
}
