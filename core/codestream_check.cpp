#include "core/codestream_check.h"

#include <cstdint>
#include <vector>

#include "core/jpeg_markers.h"
#include "core/transfer_syntax.h"

namespace {

constexpr std::size_t kHeadBytes = 64 * 1024;  // SOF and SIZ come long before this

std::uint32_t Be16(const unsigned char* b) {
  return (std::uint32_t{b[0]} << 8) | b[1];
}

std::uint32_t Be32(const unsigned char* b) {
  return (Be16(b) << 16) | Be16(b + 2);
}

std::uint32_t Le32(const unsigned char* b) {
  return std::uint32_t{b[0]} | (std::uint32_t{b[1]} << 8) | (std::uint32_t{b[2]} << 16) |
         (std::uint32_t{b[3]} << 24);
}

// The size a codestream states, -1 where it states none.
struct StatedImage {
  long rows = -1, columns = -1, components = 1, bits = 0;
};

// Reads the next item header; false when there is none.
bool NextItem(std::FILE* stream, std::uint32_t& length) {
  unsigned char header[8];
  if (std::fread(header, 1, 8, stream) != 8) return false;
  if (header[0] != 0xFE || header[1] != 0xFF || header[2] != 0x00 || header[3] != 0xE0)
    return false;
  length = Le32(header + 4);
  return true;
}

// The first frame header's precision and size; SOF55 counts (JPEG-LS).
bool ReadJpegFrameHeader(const std::vector<unsigned char>& b, StatedImage& image) {
  const std::size_t i = FindJpegFrameHeader(b.data(), b.size(), true);
  if (i == kNoFrameHeader || i + 10 > b.size()) return false;
  image.bits = b[i + 4];
  image.rows = Be16(&b[i + 5]);
  image.columns = Be16(&b[i + 7]);
  image.components = b[i + 9];
  if (image.rows == 0) image.rows = -1;  // given later by a DNL segment
  return true;
}

// Finds the SIZ segment after SOC, in a bare codestream or a JP2 wrapper.
bool ReadJ2kSize(const std::vector<unsigned char>& b, StatedImage& image) {
  for (std::size_t p = 0; p + 42 <= b.size(); ++p) {
    if (b[p] != 0xFF || b[p + 1] != 0x4F || b[p + 2] != 0xFF || b[p + 3] != 0x51) continue;
    const unsigned char* siz = &b[p + 2];  // at the SIZ marker
    image.columns = static_cast<long>(Be32(siz + 6)) - static_cast<long>(Be32(siz + 14));
    image.rows = static_cast<long>(Be32(siz + 10)) - static_cast<long>(Be32(siz + 18));
    image.components = Be16(siz + 38);
    image.bits = (siz[40] & 0x7F) + 1;
    return true;
  }
  return false;
}

std::string SizeText(long rows, long columns) {
  return std::to_string(columns) + " x " + std::to_string(rows);
}

}  // namespace

bool CodestreamFitsTheDataSet(std::FILE* stream, long offset, const std::string& syntax, int rows,
                              int columns, std::string& why) {
  const Codestream codestream = FindTransferSyntax(syntax).codestream;
  const bool jpegLs = codestream == Codestream::kJpegLs;
  const bool jpeg = jpegLs || codestream == Codestream::kJpeg;
  const bool rle = codestream == Codestream::kRle;
  if (!jpeg && !rle && codestream != Codestream::kJpeg2000) return true;

  std::uint32_t length = 0;
  if (std::fseek(stream, offset, SEEK_SET) != 0 || !NextItem(stream, length) ||
      std::fseek(stream, static_cast<long>(length), SEEK_CUR) != 0 || !NextItem(stream, length))
    return true;  // no fragment to look at: the decoder says what is wrong
  std::vector<unsigned char> head(length < kHeadBytes ? length : kHeadBytes);
  head.resize(std::fread(head.data(), 1, head.size(), stream));

  if (rle) {
    // A 16-bit single-sample frame is two byte planes, two segments.
    if (head.size() < 64) return true;
    const std::uint32_t segments = Le32(head.data());
    if (segments == 2) return true;
    why = "the first RLE frame holds " + std::to_string(segments) +
          " segments, not the 2 of 16-bit pixels: refused before decoding";
    return false;
  }
  StatedImage image;
  if (!(jpeg ? ReadJpegFrameHeader(head, image) : ReadJ2kSize(head, image))) return true;
  const char* codec = jpegLs ? "JPEG-LS" : jpeg ? "JPEG" : "JPEG 2000";
  if ((image.rows != -1 && image.rows != rows) || image.columns != columns)
    why = std::string("the first frame's ") + codec + " codestream is " +
          SizeText(image.rows, image.columns) + ", the data set's Rows and Columns " +
          SizeText(rows, columns) + ": refused before decoding";
  else if (image.components != 1)
    why = std::string("the first frame's ") + codec + " codestream holds " +
          std::to_string(image.components) + " components, a gated SPECT frame one";
  else if (image.bits > 16)
    why = std::string("the first frame's ") + codec + " codestream holds " +
          std::to_string(image.bits) + "-bit samples, more than the 16 bits allocated";
  return why.empty();
}
