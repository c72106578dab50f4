// The helper's fast path: frames, not the file. For an encapsulated JPEG,
// JPEG-LS, JPEG 2000 or RLE study it finds the Pixel Data in the file as
// read, decodes each frame's fragments with the codec library straight into
// one buffer, on several threads, and writes to standard output the copy the
// converter reads: the preamble and the meta group as read (the transfer
// syntax now Explicit VR Little Endian), the data set's elements before the
// Pixel Data byte for byte (all encapsulated syntaxes are explicit VR little
// endian), then Pixel Data OW of a defined length holding the frames as
// 16-bit little-endian words. The frames go out in order while later ones
// are still decoding. No GDCM class is involved (its IJG builds are plain
// C libraries), so GDCM is not even loaded.
#pragma once

#include <cstddef>
#include <string>

struct FrameDecodeOutcome {
  enum Result {
    kWritten,             // the whole copy is on standard output
    kNotHandled,          // nothing written: not a study this path decodes
    kFailedBeforeOutput,  // nothing written: the structure or the first frame failed
    kFailedAfterOutput,   // a later frame failed; frames before it may be out already
    kWriteFailed,         // standard output refused the copy
  };
  Result result = kNotHandled;
  bool framesMissing = false;  // fewer frames in the pixel data than the data set states
  bool damaged = false;        // the failing frame's codec found its data damaged
  std::string why;             // the failure in words
  std::string lossy;           // written: the first lossy frame ("frame N: ..."), else empty
};

// threads: at most this many decode at once (never more than the frames,
// nor more than memoryLeft bytes of address space hold; 0: unknown).
FrameDecodeOutcome DecodeFramesToStandardOutput(const char* data, std::size_t size, int threads,
                                                std::size_t memoryLeft = 0);
