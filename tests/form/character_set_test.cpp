// Text values decoded under a Specific Character Set: values as pydicom's
// encoder stores them (written at test time), the examples of PS3.5 Annexes
// H, I and J as literal bytes, values cut by a record field, and what no
// decoding can take.
#include "form/character_set.h"

#include <gtest/gtest.h>
#ifdef _WIN32
#include <windows.h>
#endif

#include <sstream>
#include <string>

#include "tests/test_support.h"

namespace {

std::string FromHex(const std::string& hex) {
  std::string bytes;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
    bytes += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
  return bytes;
}

// Wine's EUC-JP has no JIS X 0212 (ISO 2022 IR 159): such a value is left
// undecoded there rather than decoded wrong; Windows' own has it.
bool UnderWineWithoutJisX0212(const std::string& charset) {
#ifdef _WIN32
  return charset.find("IR 159") != std::string::npos &&
         ::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
#else
  (void)charset;
  return false;
#endif
}

TEST(DecodeDicomText, ValuesAsPydicomEncodesThem) {
  // Written by tests/form/encode_texts.py before the suites run.
  const std::string encoded = ReadBytes(std::string(DGC_TEST_DATA) + "/texts.tsv");
  ASSERT_FALSE(encoded.empty());
  std::istringstream lines(encoded);
  int rows = 0;
  for (std::string line; std::getline(lines, line); ++rows) {
    const std::size_t tab1 = line.find('\t'), tab2 = line.rfind('\t');
    ASSERT_NE(tab1, tab2) << line;
    const std::string charset = line.substr(0, tab1);
    const std::string stored = FromHex(line.substr(tab1 + 1, tab2 - tab1 - 1));
    const std::optional<std::string> text = DecodeDicomText(stored, charset);
    if (!text && UnderWineWithoutJisX0212(charset)) continue;
    ASSERT_TRUE(text.has_value()) << charset;
    EXPECT_EQ(*text, FromHex(line.substr(tab2 + 1))) << charset;
  }
  EXPECT_GE(rows, 17);
}

struct LiteralCase {
  const char* charset;
  std::string stored;
  std::optional<std::string> text;  // nothing: cannot be decoded
};

TEST(DecodeDicomText, AnnexExamplesCutValuesAndFailures) {
  const std::string yamada =
      "Yamada^Tarou=\x1B$B;3ED\x1B(B^\x1B$BB@O:\x1B(B=\x1B$B$d$^$@\x1B(B^\x1B$B$?$m$&\x1B(B";
  const LiteralCase cases[] = {
      // PS3.5 H.3.1, I.2, J.3 (GB18030 as the Chinese example).
      {"\\ISO 2022 IR 87", yamada, "Yamada^Tarou=山田^太郎=やまだ^たろう"},
      {"ISO 2022 IR 13\\ISO 2022 IR 87",
       "\xD4\xCF\xC0\xDE^\xC0\xDB\xB3=\x1B$B;3ED\x1B(J^\x1B$BB@O:\x1B(J=\x1B$B$d$^$@\x1B(J^"
       "\x1B$B$?$m$&\x1B(J",
       "ﾔﾏﾀﾞ^ﾀﾛｳ=山田^太郎=やまだ^たろう"},
      {"\\ISO 2022 IR 149",
       "Hong^Gildong=\x1B$)C\xFB\xF3^\x1B$)C\xD1\xCE\xD4\xD7=\x1B$)C\xC8\xAB^\x1B$)"
       "C\xB1\xE6\xB5\xBF",
       "Hong^Gildong=洪^吉洞=홍^길동"},
      {"GB18030", "Wang^XiaoDong=\xCD\xF5^\xD0\xA1\xB6\xAB=", "Wang^XiaoDong=王^小东="},
      // Blanks around terms, as some writers pad them.
      {" ISO_IR 100 ", "M\xFCller", "Müller"},
      // A record field of 49 bytes cuts the name inside an escape sequence,
      // a two-byte character, a UTF-8 sequence: the whole characters stay.
      {"\\ISO 2022 IR 87", yamada.substr(0, 49), "Yamada^Tarou=山田^太郎=やまだ^"},
      {"\\ISO 2022 IR 87", yamada.substr(0, 17), "Yamada^Tarou="},
      {"\\ISO 2022 IR 87", yamada.substr(0, 19), "Yamada^Tarou=山"},
      {"ISO_IR 192", "Wang=\xE7\x8E", "Wang="},
      // The ends of the sets: the last half-width katakana (semi-voiced
      // mark), and DEL, which is no JIS X 0208 byte: it stands for itself.
      {"ISO 2022 IR 13", "\xB6\xDF", "ｶﾟ"},
      {"\\ISO 2022 IR 87", "\x1B$B;3\x7F;3\x1B(B", "山\x7F山"},
      // Not decodable: the caller shows the bytes.
      {"", "M\xFCller", std::nullopt},  // default repertoire is ASCII
      {"ISO_IR 999", "x", std::nullopt},
      {"ISO_IR 100\\KOI8-R", "x", std::nullopt},
      {"ISO_IR 192", "\xFF\xFE", std::nullopt},
      {"\\ISO 2022 IR 87", "A\x1B$Zxx", std::nullopt},  // unknown escape
      {"\\ISO 2022 IR 87", "\xA4\xA2", std::nullopt},   // no G1 set designated
      {"\\ISO 2022 IR 87", "\x1B$B\x21\x0A", std::nullopt},
  };
  for (const LiteralCase& c : cases) {
    const std::optional<std::string> text = DecodeDicomText(c.stored, c.charset);
    EXPECT_EQ(text, c.text) << "'" << c.charset << "' " << c.stored;
  }
}

}  // namespace
