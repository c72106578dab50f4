// What the converter asks of the decoder helper, and the order in which the
// helper answers, the same on every system: the frames' way first
// (frame_decode.h), GDCM for what that way does not take and for its
// verdict on what it fails. How GDCM is reached is the program's own: a
// standby child that becomes dicom-decode-gdcm on Linux, a call in the same
// process on Windows.
//
// Options (the converter's): --threads N decodes N frames at once (else one
// per core), within what the address-space limit leaves; --library-decoders
// leaves every frame to the codec libraries (IJG, CharLS, OpenJPEG), never
// the helper's own JPEG lossless and JPEG-LS decoders; --self-test CHECK is
// the tests' (RunSelfTest).
//
// Exit status: 0 written; 2 GDCM cannot read the file; 3 the pixel data
// cannot be decoded; 4 out of memory; 5 cannot write; 6 the pixel data end
// early (GDCM would pad them with zeros); 7 the sandbox cannot be set up or
// the input cannot be read; 8 written, but a frame's codestream is lossy
// whatever the transfer syntax says (its words on standard error). The
// reason, in the decoder's own words where it has them, is one line on
// standard error.
#pragma once

#include <cstddef>
#include <functional>
#include <string>

#include "helper/helper_process.h"

// What --help says of dicom-decode, on Linux and on Windows alike.
constexpr const char* kDecoderHelperUsage =
    "The DICOM Data Converter's decoder helper: reads a compressed DICOM file\n"
    "on standard input and writes it as explicit VR little endian, frames\n"
    "decoded, in a confined process. The converters start it; it is not\n"
    "meant to be run by hand.\n";

struct DecodeRequest {
  int threads = 0;  // 0: one per core
  bool libraryDecoders = false;
  const char* selfTest = nullptr;
};

// False with the reason for an option the helper does not know.
bool ReadDecodeRequest(int argc, char** argv, DecodeRequest& request, std::string& why);

// GDCM asked for the input: its whole rewrite on standard output (rewrite
// true), or its verdict alone. Returns the helper's status.
using GdcmCall = std::function<int(bool rewrite)>;

// Frames first; GDCM for what that way does not take, and for the verdict
// on what it fails: a damaged file is refused with GDCM's words. Frames
// missing from the pixel data are refused even where GDCM would fill them
// in, and once frames are out a file GDCM would decode is refused with the
// frame's own words rather than written twice. A frame its codec found
// damaged is refused with the codec's words: GDCM, which lets a warning
// pass, would write made-up samples.
int DecodeInOrder(const Input& input, int threads, std::size_t memoryLeft, const GdcmCall& gdcm);

// dicom-decode --self-test CHECK, once confined as for a decode (with no
// input): "ids" writes the identity it was confined under; "thread" and
// "thread-memory" make a thread as the decoding ones are made (the latter
// asks it for more than the limit leaves); the other checks try what the
// confinement forbids, and end the process where it holds.
int RunSelfTest(const std::string& check, const std::string& identity);
