// Every transfer syntax the converter knows, in one table: its UID, its
// name, how its data set is read, how its pixel data are stored, whether its
// encoding loses information, which codestream its frames hold, and what
// decodes them.
#pragma once

#include <string>

#include "core/element_reader.h"
#include "model/pixel_encoding.h"

// The codestream of one frame of encapsulated pixel data.
enum class Codestream { kNone, kJpeg, kJpegLs, kJpeg2000, kRle, kVideo };

// What decodes a syntax's frames in the decoder helper, one frame at a time;
// kByGdcm leaves the whole file to GDCM (its own rewrite of deflated, big
// endian, video and High-Throughput JPEG 2000 data).
enum class FrameCodec { kByGdcm, kJpeg, kJpegLs, kJpeg2000, kRle };

struct TransferSyntax {
  const char* uid;
  const char* name;
  VrForm form;  // of the data set once the meta group is read
  PixelEncoding encoding;
  bool lossy;  // every encoding in this syntax loses information
  Codestream codestream;
  FrameCodec codec;
};

// The row of uid; a UID the table lacks is taken for an encapsulated syntax
// in explicit VR little endian (the decoder then says whether it knows it).
const TransferSyntax& FindTransferSyntax(const std::string& uid);

// "1.2.840.10008.1.2.4.50 (JPEG Baseline)", or the UID alone when unnamed.
std::string SyntaxDescription(const std::string& uid);

// True for the syntaxes whose encoding always loses information.
bool IsLossySyntax(const std::string& uid);
