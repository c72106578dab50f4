#include "core/transfer_syntax.h"

namespace {

constexpr VrForm kExplicit = VrForm::kExplicit;
constexpr PixelEncoding kEncapsulated = PixelEncoding::kEncapsulated;
constexpr FrameCodec kByGdcm = FrameCodec::kByGdcm;

const TransferSyntax kSyntaxes[] = {
    {"1.2.840.10008.1.2", "Implicit VR Little Endian", VrForm::kImplicit, PixelEncoding::kRaw,
     false, Codestream::kNone, kByGdcm},
    {"1.2.840.10008.1.2.1", "Explicit VR Little Endian", kExplicit, PixelEncoding::kRaw, false,
     Codestream::kNone, kByGdcm},
    {"1.2.840.10008.1.2.1.99", "Deflated Explicit VR Little Endian", kExplicit,
     PixelEncoding::kDeflated, false, Codestream::kNone, kByGdcm},
    {"1.2.840.10008.1.2.2", "Explicit VR Big Endian", VrForm::kExplicitBigEndian,
     PixelEncoding::kRawBigEndian, false, Codestream::kNone, kByGdcm},
    {"1.2.840.10008.1.2.4.50", "JPEG Baseline", kExplicit, kEncapsulated, true, Codestream::kJpeg,
     FrameCodec::kJpeg},
    {"1.2.840.10008.1.2.4.51", "JPEG Extended", kExplicit, kEncapsulated, true, Codestream::kJpeg,
     FrameCodec::kJpeg},
    {"1.2.840.10008.1.2.4.57", "JPEG Lossless", kExplicit, kEncapsulated, false, Codestream::kJpeg,
     FrameCodec::kJpeg},
    {"1.2.840.10008.1.2.4.70", "JPEG Lossless, First-Order Prediction", kExplicit, kEncapsulated,
     false, Codestream::kJpeg, FrameCodec::kJpeg},
    {"1.2.840.10008.1.2.4.80", "JPEG-LS Lossless", kExplicit, kEncapsulated, false,
     Codestream::kJpegLs, FrameCodec::kJpegLs},
    {"1.2.840.10008.1.2.4.81", "JPEG-LS Near-Lossless", kExplicit, kEncapsulated, true,
     Codestream::kJpegLs, FrameCodec::kJpegLs},
    // JPEG 2000 may be lossless or not: Lossy Image Compression says which.
    {"1.2.840.10008.1.2.4.90", "JPEG 2000 Lossless", kExplicit, kEncapsulated, false,
     Codestream::kJpeg2000, FrameCodec::kJpeg2000},
    {"1.2.840.10008.1.2.4.91", "JPEG 2000", kExplicit, kEncapsulated, false, Codestream::kJpeg2000,
     FrameCodec::kJpeg2000},
    {"1.2.840.10008.1.2.4.100", "MPEG2 Main Profile", kExplicit, kEncapsulated, true,
     Codestream::kVideo, kByGdcm},
    {"1.2.840.10008.1.2.4.101", "MPEG2 High Profile", kExplicit, kEncapsulated, true,
     Codestream::kVideo, kByGdcm},
    {"1.2.840.10008.1.2.4.102", "MPEG-4 AVC/H.264", kExplicit, kEncapsulated, true,
     Codestream::kVideo, kByGdcm},
    {"1.2.840.10008.1.2.4.103", "MPEG-4 AVC/H.264 BD", kExplicit, kEncapsulated, true,
     Codestream::kVideo, kByGdcm},
    {"1.2.840.10008.1.2.4.201", "High-Throughput JPEG 2000 Lossless", kExplicit, kEncapsulated,
     false, Codestream::kJpeg2000, kByGdcm},
    {"1.2.840.10008.1.2.4.202", "High-Throughput JPEG 2000 with RPCL Options Lossless", kExplicit,
     kEncapsulated, false, Codestream::kJpeg2000, kByGdcm},
    {"1.2.840.10008.1.2.4.203", "High-Throughput JPEG 2000", kExplicit, kEncapsulated, false,
     Codestream::kJpeg2000, kByGdcm},
    {"1.2.840.10008.1.2.5", "RLE Lossless", kExplicit, kEncapsulated, false, Codestream::kRle,
     FrameCodec::kRle},
};

const TransferSyntax kUnknown = {"",     "", kExplicit, kEncapsulated, false, Codestream::kNone,
                                 kByGdcm};

}  // namespace

const TransferSyntax& FindTransferSyntax(const std::string& uid) {
  for (const TransferSyntax& syntax : kSyntaxes)
    if (uid == syntax.uid) return syntax;
  return kUnknown;
}

std::string SyntaxDescription(const std::string& uid) {
  const TransferSyntax& syntax = FindTransferSyntax(uid);
  return syntax.name[0] == '\0' ? uid : uid + " (" + syntax.name + ")";
}

bool IsLossySyntax(const std::string& uid) {
  return FindTransferSyntax(uid).lossy;
}
