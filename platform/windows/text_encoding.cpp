#include "platform/text_encoding.h"

#include <windows.h>

#include <cstring>

namespace {

// The Windows code page of each encoding the character-set decoder asks
// for, by its iconv name. Unified Hangul Code (949) and GBK (936) hold
// EUC-KR and GB 2312 whole, and every Windows has them. GB18030's two-byte
// characters are GBK's: where the system lacks its code page (wine), GBK
// decodes those, and a four-byte sequence fails.
struct CodePage {
  const char* name;
  UINT page;
  UINT fallback = 0;
};
const CodePage kCodePages[] = {
    {"ASCII", 20127},      {"ISO-8859-1", 28591},   {"ISO-8859-2", 28592},  {"ISO-8859-3", 28593},
    {"ISO-8859-4", 28594}, {"ISO-8859-5", 28595},   {"ISO-8859-6", 28596},  {"ISO-8859-7", 28597},
    {"ISO-8859-8", 28598}, {"ISO-8859-9", 28599},   {"ISO-8859-15", 28605}, {"TIS-620", 874},
    {"SHIFT_JIS", 932},    {"EUC-JP", 20932},       {"EUC-KR", 949},        {"GB2312", 936},
    {"GBK", 936},          {"GB18030", 54936, 936}, {"UTF-8", CP_UTF8},
};

// The UTF-16 of bytes, or false where a byte sequence is invalid.
bool Widen(UINT page, std::string_view bytes, std::wstring& wide) {
  const int length = static_cast<int>(bytes.size());
  const int needed =
      ::MultiByteToWideChar(page, MB_ERR_INVALID_CHARS, bytes.data(), length, nullptr, 0);
  if (needed <= 0) return false;
  wide.resize(static_cast<std::size_t>(needed));
  return ::MultiByteToWideChar(page, MB_ERR_INVALID_CHARS, bytes.data(), length, wide.data(),
                               needed) == needed;
}

// Whether the system's EUC-JP (20932) reads JIS X 0212's three-byte
// characters (0x8F and two bytes) as one character, as iconv's does; one
// that does not (wine's) would turn each into two wrong ones.
bool ReadsJisX0212() {
  static const bool reads = [] {
    std::wstring wide;
    return Widen(20932, "\x8F\xB0\xA1", wide) && wide == L"\x4E02";
  }();
  return reads;
}

}  // namespace

bool AppendAsUtf8(const char* encoding, std::string_view bytes, std::string& out) {
  if (bytes.empty()) return true;
  const CodePage* found = nullptr;
  for (const CodePage& page : kCodePages)
    if (std::strcmp(page.name, encoding) == 0) found = &page;
  if (found == nullptr) return false;
  const UINT page = ::IsValidCodePage(found->page) ? found->page : found->fallback;
  if (page == 0 || !::IsValidCodePage(page)) return false;
  // Windows' US-ASCII clears the eighth bit of a byte instead of refusing
  // it, as iconv does.
  if (page == 20127)
    for (char c : bytes)
      if (static_cast<unsigned char>(c) > 0x7F) return false;
  if (page == 20932 && bytes.find('\x8F') != std::string_view::npos && !ReadsJisX0212())
    return false;
  // A sequence cut at the end (at most three bytes of it) is dropped, as
  // iconv drops it; anything else invalid fails.
  std::wstring wide;
  bool ok = false;
  for (std::size_t cut = 0; cut <= 3 && cut < bytes.size() && !ok; ++cut)
    ok = Widen(page, bytes.substr(0, bytes.size() - cut), wide);
  if (!ok) return false;
  const int wideLength = static_cast<int>(wide.size());
  const int needed =
      ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), wideLength, nullptr, 0, nullptr, nullptr);
  if (needed <= 0) return false;
  std::string utf8(static_cast<std::size_t>(needed), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), wideLength, utf8.data(), needed, nullptr, nullptr);
  out += utf8;
  return true;
}
