// Decoding of the transfer syntaxes that the scan does not read itself. The
// dicom-decode helper (GDCM) rewrites the file as explicit VR little endian in
// a separate process, confined (helper/sandbox.h) and within CPU, memory
// and wall-clock limits; the result comes back through a pipe into memory,
// never through a file. The helper is run from beside the program (as the
// system resolves it) or from where the build installs it, nowhere else.
#pragma once

#include <cstddef>
#include <cstdio>
#include <functional>
#include <string>

#include "platform/memory_map.h"

// The decoded Part 10 file, owned; empty until a decode succeeds. It lives
// in pages of its own advised for huge pages: tens of MiB come through the
// pipe, and 4 KiB pages would cost a fault each.
class DecodedFile {
 public:
  const char* data() const { return pages_.data(); }
  std::size_t size() const { return size_; }
  // Room for the next bytes read, the file held at most limit bytes: false
  // beyond it or out of memory.
  bool Room(std::size_t limit, char*& at, std::size_t& bytes);
  void Took(std::size_t bytes) { size_ += bytes; }
  // The lossy coding the decoder found in a codestream whatever the
  // transfer syntax says ("frame 3: a DCT codestream (SOF1)"); empty when
  // it found none.
  const std::string& lossy() const { return lossy_; }
  void set_lossy(const std::string& words) { lossy_ = words; }

 private:
  bool Grow(std::size_t limit);

  PageBuffer pages_;
  std::size_t size_ = 0;
  std::string lossy_;
};

// How the decoder helper runs for compressed or deflated data sets.
struct DecoderSettings {
  bool enabled = true;       // off: every input that needs it is refused, no process started
  std::string helperPath;    // empty: beside the program, then where it is installed
  int timeoutSeconds = 120;  // the helper's whole life; 0 or less: this default
  int threads = 0;           // frames decoded at once; 0: one per core of the helper's
  // The codec libraries alone decode (IJG, CharLS, OpenJPEG, GDCM), never
  // the helper's own JPEG lossless and JPEG-LS decoders.
  bool libraryDecoders = false;
};

enum class DecodeResult {
  kDecoded,
  kFailed,          // the reason says why
  kPixelDataShort,  // the stored pixel data end before the last frame
  kCancelled,       // the caller's callback ended the wait
};

// Called while the helper runs, with the milliseconds since it started;
// returning false ends the helper and the decode.
using DecodeWaitCallback = std::function<bool(long long waitedMilliseconds)>;

// What one decode may cost: the helper's address space, and the decoded
// file the converter takes back. Sized from the study the header declares,
// so that a small file claiming a large image cannot take 500 MB.
struct DecodeBudget {
  std::size_t helperMemory = std::size_t{512} << 20;
  std::size_t decodedBytes = std::size_t{256} << 20;
};

// Decodes the file open as input (read from its start). Returns
// kDecoded with the decoded bytes, or the failure with the reason in words:
// the decoder's own, or how the helper ended (crash, time or memory limit).
// settings name the helper (tests stand in another, by absolute path) and
// its wall-clock limit, or switch decoding off (the in-process fuzz targets).
DecodeResult DecodeToRawLittleEndian(std::FILE* input, DecodedFile& decoded, std::string& reason,
                                     const DecodeBudget& budget, const DecoderSettings& settings,
                                     const DecodeWaitCallback& goOn = {});
