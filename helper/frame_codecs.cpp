#include "helper/frame_codecs.h"

#if DGC_CHARLS_2_0
#include <CharLS/charls.h>
#else
#include <charls/charls.h>
#endif
#include <openjpeg.h>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "core/jpeg_markers.h"
#include "helper/jpeg_lossless.h"
#include "helper/jpegls_lossless.h"

namespace {

std::string SizeText(long columns, long rows) {
  return std::to_string(columns) + " x " + std::to_string(rows);
}

std::uint32_t Le32(const unsigned char* b) {
  return std::uint32_t{b[0]} | (std::uint32_t{b[1]} << 8) | (std::uint32_t{b[2]} << 16) |
         (std::uint32_t{b[3]} << 24);
}

// The first frame header (SOFn) of a JPEG codestream: its marker and sample
// precision, or false when there is none before the first scan.
bool FindFrameHeader(const unsigned char* b, std::size_t size, unsigned& marker, unsigned& bits) {
  const std::size_t i = FindJpegFrameHeader(b, size, false);
  if (i == kNoFrameHeader) return false;
  marker = b[i + 1];
  bits = b[i + 4];
  return true;
}

// The first scan header's offset (its 0xFF) in a JPEG or JPEG-LS codestream,
// the whole header present; kNoFrameHeader when the markers do not lead to
// one.
std::size_t FindFirstScan(const unsigned char* b, std::size_t size) {
  const std::size_t i = FindJpegMarker(b, size, [](unsigned marker) { return marker == 0xDA; });
  if (i == kNoFrameHeader) return i;
  const std::size_t length = (std::size_t{b[i + 2]} << 8) | b[i + 3];
  return length >= 6 && i + 2 + length <= size ? i : kNoFrameHeader;
}

// The last three bytes of a scan header: Ss (JPEG-LS: NEAR), Se (ILV) and
// Ah/Al (the point transform in the low nibble).
bool ScanParameters(const unsigned char* b, std::size_t size, unsigned& ss, unsigned& al) {
  const std::size_t i = FindFirstScan(b, size);
  if (i == kNoFrameHeader) return false;
  const std::size_t end = i + 2 + ((std::size_t{b[i + 2]} << 8) | b[i + 3]);
  ss = b[end - 3];
  al = b[end - 1] & 0x0F;
  return true;
}

void NoteLossy(const FrameTarget& target, const std::string& words) {
  if (target.notes != nullptr) target.notes->lossy = words;
}

// What a JPEG frame header and scan say of a lossy process.
void NoteLossyJpeg(const unsigned char* data, std::size_t size, unsigned marker,
                   const FrameTarget& target) {
  unsigned ss = 0, al = 0;
  if (marker != 0xC3 && marker != 0xC7)
    NoteLossy(target, "a DCT codestream (SOF" + std::to_string(marker - 0xC0) + ")");
  else if (ScanParameters(data, size, ss, al) && al > 0)
    NoteLossy(target, "a lossless JPEG codestream with point transform " + std::to_string(al));
}

bool gLibraryDecodersOnly = false;

// OpenJPEG reads the codestream from memory.
struct MemoryStream {
  const unsigned char* data;
  std::size_t size, at;
};

OPJ_SIZE_T ReadMemory(void* buffer, OPJ_SIZE_T count, void* user) {
  MemoryStream& m = *static_cast<MemoryStream*>(user);
  const std::size_t n = std::min<std::size_t>(count, m.size - m.at);
  if (n == 0) return static_cast<OPJ_SIZE_T>(-1);
  std::memcpy(buffer, m.data + m.at, n);
  m.at += n;
  return n;
}

OPJ_OFF_T SkipMemory(OPJ_OFF_T count, void* user) {
  MemoryStream& m = *static_cast<MemoryStream*>(user);
  if (count < 0) {
    if (static_cast<std::size_t>(-count) > m.at) return -1;
    m.at -= static_cast<std::size_t>(-count);
    return count;
  }
  if (static_cast<std::size_t>(count) > m.size - m.at) {
    m.at = m.size;
    return -1;
  }
  m.at += static_cast<std::size_t>(count);
  return count;
}

OPJ_BOOL SeekMemory(OPJ_OFF_T position, void* user) {
  MemoryStream& m = *static_cast<MemoryStream*>(user);
  if (position < 0 || static_cast<std::size_t>(position) > m.size) return OPJ_FALSE;
  m.at = static_cast<std::size_t>(position);
  return OPJ_TRUE;
}

// OpenJPEG's first error message, for the reason.
void KeepError(const char* message, void* user) {
  std::string& words = *static_cast<std::string*>(user);
  if (!words.empty()) return;
  words = message;
  while (!words.empty() && (words.back() == '\n' || words.back() == '\r')) words.pop_back();
}

void Ignore(const char*, void*) {}

struct CodecDeleter {
  void operator()(opj_codec_t* codec) const { opj_destroy_codec(codec); }
};
struct StreamDeleter {
  void operator()(opj_stream_t* stream) const { opj_stream_destroy(stream); }
};
struct ImageDeleter {
  void operator()(opj_image_t* image) const { opj_image_destroy(image); }
};

// One RLE segment (PS3.5 G.3.2) into plane, exactly size bytes: a literal
// run n (0..127) copies n + 1 bytes, a replicate run -n (1..127) repeats the
// next byte n + 1 times, -128 is nothing. False when the segment ends before
// the plane is full or a run overfills it. Noisy counts make runs of a byte
// or three: where 16 bytes remain in both the segment and the plane, a run
// moves 16 bytes without a branch on its kind (the bytes past the run are
// the next runs' to overwrite), the rest of a longer run after. Nothing
// outside the segment is read, nothing outside the plane written.
bool DecodeRleSegment(const unsigned char* in, std::size_t length, unsigned char* plane,
                      std::size_t size) {
  std::size_t i = 0, out = 0;
  alignas(16) unsigned char fill[16];
  while (out < size) {
    if (i >= length) return false;
    const int n = static_cast<signed char>(in[i++]);
    const bool literal = n >= 0;
    const std::size_t count = literal ? static_cast<std::size_t>(n) + 1
                                      : (n == -128 ? 0 : static_cast<std::size_t>(1 - n));
    const std::size_t consumed = literal ? count : (n == -128 ? 0 : 1);
    if (consumed > length - i || count > size - out) return false;
    if (length - i >= 16 && size - out >= 16) {
      std::memset(fill, in[i], sizeof fill);
      std::memcpy(plane + out, literal ? in + i : fill, 16);
      if (count > 16) {
        if (literal)
          std::memcpy(plane + out + 16, in + i + 16, count - 16);
        else
          std::memset(plane + out + 16, in[i], count - 16);
      }
    } else if (literal) {
      std::memcpy(plane + out, in + i, count);
    } else if (count > 0) {
      std::memset(plane + out, in[i], count);
    }
    i += consumed;
    out += count;
  }
  return true;
}

}  // namespace

void UseLibraryDecodersOnly() {
  gLibraryDecodersOnly = true;
}

bool DecodeJpegFrame(const unsigned char* data, std::size_t size, const FrameTarget& target,
                     std::string& why) {
  unsigned marker = 0, bits = 0;
  if (!FindFrameHeader(data, size, marker, bits)) {
    why = "no JPEG frame header";
    return false;
  }
  const bool lossless = marker == 0xC3 || marker == 0xC7;
  if (lossless && bits > 8 && bits <= 16) {
    NoteLossyJpeg(data, size, marker, target);
    if (marker == 0xC3 && !gLibraryDecodersOnly &&
        DecodeLosslessJpeg(data, size, target.words, target.rows, target.columns))
      return true;
    return DecodeJpeg16Frame(data, size, target, why);
  }
  if ((marker == 0xC0 || marker == 0xC1 || marker == 0xC2) && bits == 12) {
    NoteLossyJpeg(data, size, marker, target);
    return DecodeJpeg12Frame(data, size, target, why);
  }
  why = "JPEG process SOF" + std::to_string(marker - 0xC0) + " with " + std::to_string(bits) +
        "-bit samples is left to GDCM";
  return false;
}

namespace {

// What CharLS read of a JPEG-LS frame header.
struct JpegLsFrame {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  int components = 0;
  int bits = 0;
};

bool FitsTarget(const JpegLsFrame& frame, const FrameTarget& target) {
  return frame.components == 1 && frame.bits > 8 && frame.bits <= 16 &&
         frame.width == static_cast<std::uint32_t>(target.columns) &&
         frame.height == static_cast<std::uint32_t>(target.rows);
}

// Decodes the frame into target's words when its header fits the target
// (fits false otherwise, nothing decoded); false with CharLS's words when
// the codestream does not decode.
#if DGC_CHARLS_2_0
// CharLS 2.0, the copy GDCM's source bundles (a build that has no other):
// its 2.0 API, which reads the header and decodes in two calls.
bool DecodeWithCharLs(const unsigned char* data, std::size_t size, const FrameTarget& target,
                      JpegLsFrame& frame, bool& fits, std::string& why) {
  JlsParameters parameters{};
  char message[ErrorMessageSize] = {};
  CharlsApiResultType result = JpegLsReadHeader(data, size, &parameters, message);
  if (result == charls::ApiResult::OK) {
    frame = JpegLsFrame{static_cast<std::uint32_t>(parameters.width),
                        static_cast<std::uint32_t>(parameters.height), parameters.components,
                        parameters.bitsPerSample};
    fits = FitsTarget(frame, target);
    const std::size_t bytes = static_cast<std::size_t>(target.rows) * target.columns * 2;
    if (fits) result = JpegLsDecode(target.words, bytes, data, size, &parameters, message);
  }
  if (result == charls::ApiResult::OK) return true;
  why = message[0] != '\0' ? message : "CharLS error " + std::to_string(static_cast<int>(result));
  return false;
}
#else
bool DecodeWithCharLs(const unsigned char* data, std::size_t size, const FrameTarget& target,
                      JpegLsFrame& frame, bool& fits, std::string& why) {
  charls_jpegls_decoder* decoder = charls_jpegls_decoder_create();
  if (decoder == nullptr) {
    why = "out of memory";
    return false;
  }
  charls_jpegls_errc result = charls_jpegls_decoder_set_source_buffer(decoder, data, size);
  if (result == charls::jpegls_errc::success) result = charls_jpegls_decoder_read_header(decoder);
  charls_frame_info info{};
  if (result == charls::jpegls_errc::success)
    result = charls_jpegls_decoder_get_frame_info(decoder, &info);
  if (result == charls::jpegls_errc::success) {
    frame = JpegLsFrame{info.width, info.height, info.component_count, info.bits_per_sample};
    fits = FitsTarget(frame, target);
    const std::size_t bytes = static_cast<std::size_t>(target.rows) * target.columns * 2;
    if (fits) result = charls_jpegls_decoder_decode_to_buffer(decoder, target.words, bytes, 0);
  }
  charls_jpegls_decoder_destroy(decoder);
  if (result == charls::jpegls_errc::success) return true;
  why = charls_get_error_message(result);
  return false;
}
#endif

}  // namespace

bool DecodeJpegLsFrame(const unsigned char* data, std::size_t size, const FrameTarget& target,
                       std::string& why) {
  if (!gLibraryDecodersOnly &&
      DecodeLosslessJpegLs(data, size, target.words, target.rows, target.columns))
    return true;
  unsigned nearLossless = 0, pointTransform = 0;
  if (ScanParameters(data, size, nearLossless, pointTransform) &&
      (nearLossless > 0 || pointTransform > 0))
    NoteLossy(target,
              "a near-lossless JPEG-LS codestream (NEAR " + std::to_string(nearLossless) +
                  (pointTransform > 0 ? ", point transform " + std::to_string(pointTransform)
                                      : std::string()) +
                  ")");
  JpegLsFrame frame;
  bool fits = true;
  if (!DecodeWithCharLs(data, size, target, frame, fits, why)) return false;
  if (!fits) {
    why = "the JPEG-LS codestream is " + std::to_string(frame.components) + " x " +
          std::to_string(frame.bits) + "-bit samples of " + SizeText(frame.width, frame.height) +
          ", not one 16-bit plane of " + SizeText(target.columns, target.rows);
    return false;
  }
  return true;
}

bool DecodeJpeg2000Frame(const unsigned char* data, std::size_t size, const FrameTarget& target,
                         std::string& why) {
  // As GDCM does: what follows the codestream's last byte (EOC ends in D9),
  // a pad byte of the fragment, is not given to OpenJPEG.
  while (size > 0 && data[size - 1] != 0xD9) --size;
  if (size < 12) {
    why = "no JPEG 2000 codestream";
    return false;
  }
  static const unsigned char kJp2Signature[12] = {0x00, 0x00, 0x00, 0x0C, 0x6A, 0x50,
                                                  0x20, 0x20, 0x0D, 0x0A, 0x87, 0x0A};
  const bool jp2 = std::memcmp(data, kJp2Signature, sizeof kJp2Signature) == 0;
  std::unique_ptr<opj_codec_t, CodecDeleter> codec(
      opj_create_decompress(jp2 ? OPJ_CODEC_JP2 : OPJ_CODEC_J2K));
  std::unique_ptr<opj_stream_t, StreamDeleter> stream(
      opj_stream_create(OPJ_J2K_STREAM_CHUNK_SIZE, OPJ_TRUE));
  if (!codec || !stream) {
    why = "out of memory";
    return false;
  }
  MemoryStream memory{data, size, 0};
  opj_stream_set_user_data(stream.get(), &memory, nullptr);
  opj_stream_set_user_data_length(stream.get(), size);
  opj_stream_set_read_function(stream.get(), ReadMemory);
  opj_stream_set_skip_function(stream.get(), SkipMemory);
  opj_stream_set_seek_function(stream.get(), SeekMemory);
  std::string words;
  opj_set_error_handler(codec.get(), KeepError, &words);
  opj_set_warning_handler(codec.get(), Ignore, nullptr);
  opj_set_info_handler(codec.get(), Ignore, nullptr);
  opj_dparameters_t parameters;
  opj_set_default_decoder_parameters(&parameters);
  opj_image_t* read = nullptr;
  bool ok = opj_setup_decoder(codec.get(), &parameters) &&
            opj_read_header(stream.get(), codec.get(), &read);
  std::unique_ptr<opj_image_t, ImageDeleter> image(read);
  if (ok) {
    const opj_image_comp_t& c = image->comps[0];
    if (image->numcomps != 1 || c.prec <= 8 || c.prec > 16 ||
        c.w != static_cast<OPJ_UINT32>(target.columns) ||
        c.h != static_cast<OPJ_UINT32>(target.rows) || c.dx != 1 || c.dy != 1) {
      why = "the JPEG 2000 codestream is " + std::to_string(image->numcomps) + " x " +
            std::to_string(c.prec) + "-bit samples of " + SizeText(c.w, c.h) +
            ", not one 16-bit plane of " + SizeText(target.columns, target.rows);
      return false;
    }
    opj_codestream_info_v2_t* info = opj_get_cstr_info(codec.get());
    if (info != nullptr && info->m_default_tile_info.tccp_info != nullptr &&
        info->m_default_tile_info.tccp_info[0].qmfbid == 0)
      NoteLossy(target, "a JPEG 2000 codestream of the 9/7 irreversible wavelet");
    opj_destroy_cstr_info(&info);
    ok = opj_decode(codec.get(), stream.get(), image.get()) &&
         opj_end_decompress(codec.get(), stream.get());
  }
  if (!ok || image->comps[0].data == nullptr) {
    why = words.empty() ? "the JPEG 2000 codestream does not decode" : words;
    return false;
  }
  // As GDCM stores them: each value's low 16 bits.
  const OPJ_INT32* values = image->comps[0].data;
  const std::size_t count = static_cast<std::size_t>(target.rows) * target.columns;
  for (std::size_t i = 0; i < count; ++i) target.words[i] = static_cast<std::uint16_t>(values[i]);
  return true;
}

bool DecodeRleFrame(const unsigned char* data, std::size_t size, const FrameTarget& target,
                    std::string& why) {
  const std::size_t pixels = static_cast<std::size_t>(target.rows) * target.columns;
  if (size < 64) {
    why = "the RLE header is cut";
    return false;
  }
  const std::uint32_t segments = Le32(data);
  const std::uint32_t high = Le32(data + 4), low = Le32(data + 8);
  if (segments != 2) {
    why = "the RLE frame holds " + std::to_string(segments) + " segments, not 2";
    return false;
  }
  if (high < 64 || high > low || low > size) {
    why = "the RLE segment offsets do not fit the frame";
    return false;
  }
  // A run of two bytes makes at most 128: a segment too short for its plane
  // is refused before the plane is allocated.
  if ((low - high) * 64ULL < pixels || (size - low) * 64ULL < pixels) {
    why = "an RLE segment does not hold the frame's " + std::to_string(pixels) + " bytes";
    return false;
  }
  // Each plane is decoded whole, then the two are interleaved into words.
  // Each has a block of its own, exactly its size, so that the sanitizers
  // would see a write past either.
  const std::unique_ptr<unsigned char[]> msbPlane(new unsigned char[pixels]);
  const std::unique_ptr<unsigned char[]> lsbPlane(new unsigned char[pixels]);
  unsigned char* msb = msbPlane.get();
  unsigned char* lsb = lsbPlane.get();
  if (!DecodeRleSegment(data + high, low - high, msb, pixels) ||
      !DecodeRleSegment(data + low, size - low, lsb, pixels)) {
    why = "an RLE segment does not hold the frame's " + std::to_string(pixels) + " bytes";
    return false;
  }
  std::size_t i = 0;
#ifdef __SSE2__
  for (; i + 16 <= pixels; i += 16) {
    const __m128i m = _mm_loadu_si128(reinterpret_cast<const __m128i*>(msb + i));
    const __m128i l = _mm_loadu_si128(reinterpret_cast<const __m128i*>(lsb + i));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(target.words + i), _mm_unpacklo_epi8(l, m));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(target.words + i + 8), _mm_unpackhi_epi8(l, m));
  }
#endif
  for (; i < pixels; ++i) target.words[i] = static_cast<std::uint16_t>((msb[i] << 8) | lsb[i]);
  return true;
}
