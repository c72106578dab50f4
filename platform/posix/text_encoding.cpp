#include "platform/text_encoding.h"

#include <iconv.h>

#include <cerrno>

bool AppendAsUtf8(const char* encoding, std::string_view bytes, std::string& out) {
  if (bytes.empty()) return true;
  iconv_t cd = iconv_open("UTF-8", encoding);
  if (cd == reinterpret_cast<iconv_t>(-1)) return false;
  std::string input(bytes);
  char* source = input.data();
  std::size_t left = input.size();
  std::string converted;
  char buffer[256];
  bool ok = true;
  while (left > 0) {
    char* target = buffer;
    std::size_t room = sizeof buffer;
    const std::size_t done = iconv(cd, &source, &left, &target, &room);
    converted.append(buffer, static_cast<std::size_t>(target - buffer));
    if (done != static_cast<std::size_t>(-1)) continue;
    if (errno == E2BIG) continue;
    ok = errno == EINVAL;  // incomplete at the end: the value was cut
    break;
  }
  iconv_close(cd);
  if (ok) out += converted;
  return ok;
}
