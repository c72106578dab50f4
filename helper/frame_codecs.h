// One frame's codestream decoded into its place in the copy: rows x columns
// 16-bit words in host (little-endian) order, the whole 16 bits as the codec
// gives them (the converter applies the file's Bits Stored and High Bit).
// Each function keeps no state between calls, so that every thread of the
// helper decodes its own frames. False with the codec's words in why when
// the codestream does not decode, or when it is not a 16-bit single-sample
// frame of that size: the helper then lets GDCM give its verdict on the
// whole file, as before.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// What a codec learned of a frame beyond its samples.
struct FrameNotes {
  // The lossy coding found in a codestream (a DCT process, NEAR above 0, the
  // 9/7 irreversible wavelet, a point transform), in words; empty when the
  // samples are the ones encoded. The syntax a file states may say
  // otherwise: the codestream is what decides.
  std::string lossy;
  // The library decoded the frame but warned that its data are damaged (a
  // lossless JPEG frame cut short, a corrupt segment: IJG makes up samples
  // and goes on): the frame is refused with the library's words, never
  // handed on as decoded. (CharLS and OpenJPEG refuse such frames outright.)
  bool damaged = false;
};

struct FrameTarget {
  std::uint16_t* words;  // rows x columns
  int rows, columns;
  FrameNotes* notes = nullptr;  // none: nothing is noted
};

// From here on the codec libraries (IJG, CharLS) decode every frame, never
// the helper's own JPEG lossless and JPEG-LS decoders: a site that doubts
// them rules them out. Called before any decoding thread starts.
void UseLibraryDecodersOnly();

// JPEG (ITU T.81): lossless processes with 9 to 16 bits by the helper's own
// decoder (jpeg_lossless.h), or what it does not take through GDCM's 16-bit
// IJG library (libgdcmjpeg16), 12-bit DCT processes through its
// 12-bit one (libgdcmjpeg12). A lossless frame on which the library warns of
// damaged data fails (notes->damaged); like GDCM, a DCT frame fails with
// more than one warning.
bool DecodeJpegFrame(const unsigned char* data, std::size_t size, const FrameTarget& target,
                     std::string& why);
bool DecodeJpeg12Frame(const unsigned char* data, std::size_t size, const FrameTarget& target,
                       std::string& why);
bool DecodeJpeg16Frame(const unsigned char* data, std::size_t size, const FrameTarget& target,
                       std::string& why);

// JPEG-LS (ITU T.87), lossless or near-lossless, 9 to 16 bits: one plane of
// lossless samples by the helper's own decoder (jpegls_lossless.h), the rest
// and what it refuses by CharLS.
bool DecodeJpegLsFrame(const unsigned char* data, std::size_t size, const FrameTarget& target,
                       std::string& why);

// JPEG 2000 Part 1 codestream (or JP2 file), 9 to 16 bits: OpenJPEG, one
// thread per frame.
bool DecodeJpeg2000Frame(const unsigned char* data, std::size_t size, const FrameTarget& target,
                         std::string& why);

// RLE Lossless (PS3.5 Annex G), two segments: the most significant bytes,
// then the least significant ones.
bool DecodeRleFrame(const unsigned char* data, std::size_t size, const FrameTarget& target,
                    std::string& why);
