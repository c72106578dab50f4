#include "process/terminal_text.h"

namespace {

bool Continues(const std::string& text, std::size_t i, unsigned char low = 0x80,
               unsigned char high = 0xBF) {
  if (i >= text.size()) return false;
  const auto byte = static_cast<unsigned char>(text[i]);
  return byte >= low && byte <= high;
}

}  // namespace

std::size_t Utf8SequenceLength(const std::string& text, std::size_t i) {
  const auto lead = static_cast<unsigned char>(text[i]);
  if (lead < 0x80) return 1;
  if (lead >= 0xC2 && lead <= 0xDF) return Continues(text, i + 1) ? 2 : 0;
  // The second byte's range rules out overlong forms (E0, F0), surrogates
  // (ED) and code points above U+10FFFF (F4).
  unsigned char low = 0x80, high = 0xBF;
  std::size_t length = 0;
  if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (!Continues(text, i + 1, low, high)) return 0;
  for (std::size_t k = 2; k < length; ++k)
    if (!Continues(text, i + k)) return 0;
  return length;
}

bool IsC1Control(const std::string& text, std::size_t i) {
  return static_cast<unsigned char>(text[i]) == 0xC2 && Continues(text, i + 1, 0x80, 0x9F);
}

std::string TerminalText(const std::string& text) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string shown;
  for (std::size_t i = 0; i < text.size();) {
    const auto byte = static_cast<unsigned char>(text[i]);
    std::size_t length = Utf8SequenceLength(text, i);
    const bool control = byte < 0x20 || byte == 0x7F || IsC1Control(text, i);
    if (length != 0 && !control) {
      shown.append(text, i, length);
      i += length;
      continue;
    }
    // A C1 control shows both its bytes; anything else one byte at a time.
    if (length == 0) length = 1;
    for (std::size_t k = 0; k < length; ++k) {
      const auto escaped = static_cast<unsigned char>(text[i + k]);
      shown += "\\x";
      shown += kHex[escaped >> 4];
      shown += kHex[escaped & 0xF];
    }
    i += length;
  }
  return shown;
}
