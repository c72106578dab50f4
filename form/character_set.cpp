#include "form/character_set.h"

#include <cstring>
#include <vector>

#include "platform/text_encoding.h"

namespace {

constexpr char kEscape = '\x1B';

// What a graphic register holds. The multi-byte sets of ISO 2022 are handed
// to iconv in their EUC form (high bit set, JIS X 0212 behind SS3, half-width
// katakana behind SS2), which glibc converts.
enum class Graphic {
  kNone,
  kAscii,     // ISO-IR 6, and ISO-IR 14 (JIS X 0201 Roman), read as ASCII
  kKatakana,  // ISO-IR 13, G1: 0xA1..0xDF
  kJisX0208,  // ISO-IR 87, G0, two bytes
  kJisX0212,  // ISO-IR 159, G0, two bytes
  kKsX1001,   // ISO-IR 149, G1, two bytes
  kGb2312,    // ISO-IR 58, G1, two bytes
  kHighHalf,  // a single-byte set's upper half in G1: the ISO 8859 parts, TIS 620
};

struct Registers {
  Graphic g0 = Graphic::kAscii;
  Graphic g1 = Graphic::kNone;
  const char* highHalf = nullptr;  // iconv's name of the G1 set when kHighHalf
};

// A defined term by its ISO-IR number: the single-byte sets and JIS X 0201
// as value 1 or alone; the others only with code extensions.
struct TermSet {
  const char* number;
  const char* iconvName;  // for a value without code extensions; null: extensions only
  Registers registers;    // the registers it designates
  const char* escape;     // the sequence after ESC that designates it again
};

const TermSet kTermSets[] = {
    {"6", "ASCII", {Graphic::kAscii, Graphic::kNone, nullptr}, "(B"},
    {"100", "ISO-8859-1", {Graphic::kAscii, Graphic::kHighHalf, "ISO-8859-1"}, "-A"},
    {"101", "ISO-8859-2", {Graphic::kAscii, Graphic::kHighHalf, "ISO-8859-2"}, "-B"},
    {"109", "ISO-8859-3", {Graphic::kAscii, Graphic::kHighHalf, "ISO-8859-3"}, "-C"},
    {"110", "ISO-8859-4", {Graphic::kAscii, Graphic::kHighHalf, "ISO-8859-4"}, "-D"},
    {"144", "ISO-8859-5", {Graphic::kAscii, Graphic::kHighHalf, "ISO-8859-5"}, "-L"},
    {"127", "ISO-8859-6", {Graphic::kAscii, Graphic::kHighHalf, "ISO-8859-6"}, "-G"},
    {"126", "ISO-8859-7", {Graphic::kAscii, Graphic::kHighHalf, "ISO-8859-7"}, "-F"},
    {"138", "ISO-8859-8", {Graphic::kAscii, Graphic::kHighHalf, "ISO-8859-8"}, "-H"},
    {"148", "ISO-8859-9", {Graphic::kAscii, Graphic::kHighHalf, "ISO-8859-9"}, "-M"},
    {"203", "ISO-8859-15", {Graphic::kAscii, Graphic::kHighHalf, "ISO-8859-15"}, "-b"},
    {"166", "TIS-620", {Graphic::kAscii, Graphic::kHighHalf, "TIS-620"}, "-T"},
    // JIS X 0201: Roman in G0, half-width katakana in G1 (Shift JIS's single bytes).
    {"13", "SHIFT_JIS", {Graphic::kAscii, Graphic::kKatakana, nullptr}, ")I"},
    {"87", nullptr, {Graphic::kJisX0208, Graphic::kNone, nullptr}, "$B"},
    {"159", nullptr, {Graphic::kJisX0212, Graphic::kNone, nullptr}, "$(D"},
    {"149", nullptr, {Graphic::kAscii, Graphic::kKsX1001, nullptr}, "$)C"},
    {"58", nullptr, {Graphic::kAscii, Graphic::kGb2312, nullptr}, "$)A"},
};

// Escape sequences that designate a set without being a term's own.
struct ExtraEscape {
  const char* escape;
  Graphic g0;
};
const ExtraEscape kExtraEscapes[] = {{"(J", Graphic::kAscii}};  // ISO-IR 14, JIS X 0201 Roman

// Terms that name a whole value's encoding and admit no code extensions.
struct StandAlone {
  const char* term;
  const char* iconvName;
};
const StandAlone kStandAlone[] = {{"ISO_IR 192", "UTF-8"}, {"GB18030", "GB18030"}, {"GBK", "GBK"}};

std::string_view Trim(std::string_view text) {
  while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
  while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
  return text;
}

std::vector<std::string_view> SplitTerms(std::string_view value) {
  std::vector<std::string_view> terms;
  for (;;) {
    const std::size_t slash = value.find('\\');
    terms.push_back(Trim(value.substr(0, slash)));
    if (slash == std::string_view::npos) return terms;
    value.remove_prefix(slash + 1);
  }
}

bool StartsWith(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

// "ISO_IR n" (extensions false) or "ISO 2022 IR n" (true), by its number.
const TermSet* FindTerm(std::string_view term, bool* extensions) {
  std::string_view number;
  if (StartsWith(term, "ISO_IR ")) {
    number = term.substr(7);
    *extensions = false;
  } else if (StartsWith(term, "ISO 2022 IR ")) {
    number = term.substr(12);
    *extensions = true;
  } else {
    return nullptr;
  }
  for (const TermSet& set : kTermSets)
    if (number == set.number) return &set;
  return nullptr;
}

// Converts in (encoded as code) to UTF-8 and appends it. A sequence cut at
// the end is dropped; an invalid one fails.
bool AppendConverted(const char* code, std::string_view in, std::string& out) {
  return AppendAsUtf8(code, in, out);
}

// The bytes of one set in a row, converted together.
class Pending {
 public:
  explicit Pending(std::string& out) : out_(out) {}
  bool Add(const char* code, std::string_view bytes) {
    if (code_ != nullptr && std::strcmp(code_, code) != 0 && !Flush()) return false;
    code_ = code;
    bytes_.append(bytes);
    return true;
  }
  bool Flush() {
    const bool ok = code_ == nullptr || AppendConverted(code_, bytes_, out_);
    code_ = nullptr;
    bytes_.clear();
    return ok;
  }

 private:
  std::string& out_;
  const char* code_ = nullptr;
  std::string bytes_;
};

enum class Step { kOk, kCut, kInvalid };

// Reads the escape sequence at bytes[i] (ESC) into the registers.
Step Designate(std::string_view bytes, std::size_t& i, Registers& registers) {
  const std::string_view rest = bytes.substr(i + 1);
  auto matches = [&](const char* escape) -> Step {
    const std::string_view sequence(escape);
    if (StartsWith(rest, sequence)) return Step::kOk;
    return StartsWith(sequence, rest) ? Step::kCut : Step::kInvalid;
  };
  bool cut = false;
  for (const TermSet& set : kTermSets) {
    const Step step = matches(set.escape);
    cut = cut || step == Step::kCut;
    if (step != Step::kOk) continue;
    if (set.escape[0] == '(' || (set.escape[0] == '$' && set.escape[1] != ')'))
      registers.g0 = set.registers.g0;
    else {
      registers.g1 = set.registers.g1;
      registers.highHalf = set.registers.highHalf;
    }
    i += std::strlen(set.escape);
    return Step::kOk;
  }
  for (const ExtraEscape& extra : kExtraEscapes) {
    const Step step = matches(extra.escape);
    cut = cut || step == Step::kCut;
    if (step != Step::kOk) continue;
    registers.g0 = extra.g0;
    i += std::strlen(extra.escape);
    return Step::kOk;
  }
  return cut ? Step::kCut : Step::kInvalid;
}

bool IsGraphic94(unsigned char byte, unsigned char low) {
  return byte >= low && byte <= (low == 0x21 ? 0x7E : 0xFE);
}

// The value under code extensions: G0 for bytes below 0x80, G1 above, each
// switched by escape sequences.
std::optional<std::string> DecodeExtended(std::string_view bytes, Registers registers) {
  std::string out;
  Pending pending(out);
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    const unsigned char byte = static_cast<unsigned char>(bytes[i]);
    const bool hasNext = i + 1 < bytes.size();
    const unsigned char next = hasNext ? static_cast<unsigned char>(bytes[i + 1]) : 0;
    if (byte == static_cast<unsigned char>(kEscape)) {
      const Step step = Designate(bytes, i, registers);
      if (step == Step::kInvalid) return std::nullopt;
      if (step == Step::kCut) break;
      continue;
    }
    bool ok = true;
    if (byte < 0x80) {
      const bool twoByte = registers.g0 == Graphic::kJisX0208 || registers.g0 == Graphic::kJisX0212;
      if (!twoByte || !IsGraphic94(byte, 0x21)) {
        ok = pending.Flush();
        out += static_cast<char>(byte);
      } else {
        if (!hasNext) break;
        if (!IsGraphic94(next, 0x21)) return std::nullopt;
        std::string euc;
        if (registers.g0 == Graphic::kJisX0212) euc += '\x8F';
        euc += static_cast<char>(byte | 0x80);
        euc += static_cast<char>(next | 0x80);
        ok = pending.Add("EUC-JP", euc);
        ++i;
      }
    } else {
      switch (registers.g1) {
        case Graphic::kKatakana:
          if (byte < 0xA1 || byte > 0xDF) return std::nullopt;
          ok = pending.Add("EUC-JP", std::string{'\x8E', static_cast<char>(byte)});
          break;
        case Graphic::kKsX1001:
        case Graphic::kGb2312:
          if (!hasNext) return pending.Flush() ? std::optional(out) : std::nullopt;
          if (!IsGraphic94(byte, 0xA1) || !IsGraphic94(next, 0xA1)) return std::nullopt;
          ok = pending.Add(registers.g1 == Graphic::kKsX1001 ? "EUC-KR" : "GB2312",
                           bytes.substr(i, 2));
          ++i;
          break;
        case Graphic::kHighHalf:
          ok = pending.Add(registers.highHalf, bytes.substr(i, 1));
          break;
        default:
          return std::nullopt;  // no set for the upper half
      }
    }
    if (!ok) return std::nullopt;
  }
  if (!pending.Flush()) return std::nullopt;
  return out;
}

}  // namespace

std::optional<std::string> DecodeDicomText(std::string_view bytes,
                                           std::string_view specificCharacterSet) {
  const std::vector<std::string_view> terms = SplitTerms(specificCharacterSet);
  std::string out;
  if (terms.size() == 1) {
    const std::string_view term = terms[0];
    for (const StandAlone& set : kStandAlone)
      if (term == set.term)
        return AppendConverted(set.iconvName, bytes, out) ? std::optional(out) : std::nullopt;
  }
  // Every term must be known; value 1 (empty: the default repertoire) gives
  // the registers a value starts with.
  bool anyExtension = false;
  Registers start;
  const char* single = "ASCII";
  for (std::size_t n = 0; n < terms.size(); ++n) {
    if (n == 0 && terms[0].empty()) continue;
    bool extensions = false;
    const TermSet* set = FindTerm(terms[n], &extensions);
    if (set == nullptr) return std::nullopt;
    anyExtension = anyExtension || extensions;
    if (n != 0) continue;
    single = set->iconvName;
    start = set->registers;
    // A multi-byte G0 set is never in force at a value's start.
    if (start.g0 != Graphic::kAscii) start.g0 = Graphic::kAscii;
  }
  if (!anyExtension && terms.size() == 1)
    return AppendConverted(single, bytes, out) ? std::optional(out) : std::nullopt;
  return DecodeExtended(bytes, start);
}

// A prefix ends after a whole character when its last byte adds to the
// text: DecodeDicomText drops a character or an escape sequence cut at the
// end, so the prefix one byte shorter decodes to the same text.
std::size_t WholeCharacterCut(std::string_view bytes, std::size_t most,
                              std::string_view specificCharacterSet) {
  if (bytes.size() <= most) return bytes.size();
  // The longest escape sequence and the widest character end within these.
  constexpr std::size_t kLongestStep = 8;
  for (std::size_t length = most; length > 0 && length + kLongestStep > most; --length) {
    const std::optional<std::string> with =
        DecodeDicomText(bytes.substr(0, length), specificCharacterSet);
    const std::optional<std::string> without =
        DecodeDicomText(bytes.substr(0, length - 1), specificCharacterSet);
    if (!with || !without) return most;
    if (*with != *without) return length;
  }
  return most;
}
