// The code pages, from glibc's iconv: Windows' own tables differ only where the functions below
// say so.

#include "platform/in_memory_platform.h"

#include <iconv.h>

#include <algorithm>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <tuple>

namespace morex::in_memory {
namespace {

// Ends the test: it asked for something that the in-memory platform does not model.
[[noreturn]] void Unmodelled(const char *what) {
  std::fprintf(stderr, "in-memory platform: %s is not modelled\n", what);
  std::abort();
}

const char *IconvName(unsigned codePage) {
  static const std::map<unsigned, const char *> names = {
      {932, "CP932"}, {936, "CP936"}, {1251, "CP1251"}, {1252, "CP1252"}, {65001, "UTF-8"}};
  const auto found = names.find(codePage);
  if (found == names.end())
    Unmodelled("this code page");
  return found->second;
}

// The converted bytes, or nothing when iconv can't convert all of them.
std::string Iconv(const char *to, const char *from, const std::string &input) {
  const iconv_t converter = iconv_open(to, from);
  std::string output(input.size() * 2 + 8, '\0');
  char *in = const_cast<char *>(input.data()), *out = output.data();
  std::size_t inLeft = input.size(), outLeft = output.size();
  const bool converted = iconv(converter, &in, &inLeft, &out, &outLeft) != std::size_t(-1);
  iconv_close(converter);
  return converted ? output.substr(0, output.size() - outLeft) : std::string();
}

// The bytes of the characters, or nothing when the code page lacks one of them. Without best
// fit only round-trip mappings count, as in Windows' tables; iconv's one-way mappings (U+00A5
// to 0x5C in 932) stand in for Windows' best fit.
std::string EncodeCharacters(unsigned codePage, const std::u16string &characters, bool bestFit) {
  if (std::all_of(characters.begin(), characters.end(), [](char16_t c) { return c < 0x80; }))
    return std::string(characters.begin(), characters.end()); // every code page keeps ASCII
  const char16_t c = characters[0];
  if (codePage == 1252 && characters.size() == 1 &&
      (c == 0x81 || c == 0x8D || c == 0x8F || c == 0x90 || c == 0x9D))
    return std::string(1, static_cast<char>(c)); // Windows keeps the five unassigned bytes
  // UTF-16LE: the host is little-endian.
  const std::string utf16(reinterpret_cast<const char *>(characters.data()), characters.size() * 2);
  const std::string bytes = Iconv(IconvName(codePage), "UTF-16LE", utf16);
  if (bytes.empty() || bestFit)
    return bytes;
  return Iconv("UTF-16LE", IconvName(codePage), bytes) == utf16 ? bytes : std::string();
}

// Windows' best fit maps a full-width ASCII look-alike to the ASCII character itself.
char16_t BestFit(char16_t c) {
  return c >= 0xFF01 && c <= 0xFF5E ? static_cast<char16_t>(c - 0xFF01 + 0x21) : c;
}

// And a Latin letter that the code page lacks as the letter without its diacritic (U+00E4 as a
// in 1251), as glibc's transliteration in C.UTF-8 does; best fit gives one character for one,
// so its longer answers ("ss" for U+00DF) and its "?" for none do not count.
std::string WithoutDiacritic(unsigned codePage, char16_t c) {
  static const locale_t unicode = newlocale(LC_CTYPE_MASK, "C.UTF-8", nullptr);
  const locale_t previous = uselocale(unicode);
  const std::string to = IconvName(codePage) + std::string("//TRANSLIT");
  const std::string bytes = Iconv(to.c_str(), "UTF-16LE", {reinterpret_cast<char *>(&c), 2});
  uselocale(previous);
  return bytes.size() == 1 && bytes != "?" ? bytes : "";
}

bool IsSurrogatePair(const std::u16string &text, std::size_t at) {
  return text[at] >= 0xD800 && text[at] <= 0xDBFF && at + 1 < text.size() &&
         text[at + 1] >= 0xDC00 && text[at + 1] <= 0xDFFF;
}

// EncodeCharacters for one code unit, remembered: the fuzzer converts long texts of one
// character many times over.
const std::string &EncodeUnit(unsigned codePage, char16_t unit, bool bestFit) {
  static std::map<std::tuple<unsigned, char16_t, bool>, std::string> known;
  const auto [found, added] = known.try_emplace({codePage, unit, bestFit});
  if (added)
    found->second = EncodeCharacters(codePage, std::u16string(1, unit), bestFit);
  return found->second;
}

// The bytes of a text in the code page, as WideCharToMultiByte gives them.
std::string Encode(unsigned codePage, const std::u16string &text, bool bestFit, bool &usedDefault) {
  if (std::string whole = EncodeCharacters(codePage, text, bestFit); !whole.empty())
    return whole; // no character needs a look at its own
  std::string out;
  for (std::size_t at = 0; at < text.size(); ++at) {
    // UTF-8 takes a surrogate pair as one character; the other code pages see two units.
    const bool pair = codePage == 65001 && IsSurrogatePair(text, at);
    std::string bytes = pair ? EncodeCharacters(codePage, text.substr(at++, 2), bestFit)
                             : EncodeUnit(codePage, text[at], bestFit);
    if (bytes.empty() && bestFit)
      bytes = EncodeUnit(codePage, BestFit(text[at]), bestFit);
    if (bytes.empty() && bestFit)
      bytes = WithoutDiacritic(codePage, text[at]);
    usedDefault |= bytes.empty() && codePage != 65001;
    // A lone surrogate becomes U+FFFD in UTF-8; the default character elsewhere.
    out += !bytes.empty() ? bytes : codePage == 65001 ? "\xEF\xBF\xBD" : "?";
  }
  return out;
}

} // namespace

std::u16string Decode(unsigned codePage, const std::string &bytes) {
  const std::string utf16 = Iconv("UTF-16LE", IconvName(codePage), bytes);
  std::u16string text(utf16.size() / 2, u'\0');
  std::memcpy(text.data(), utf16.data(), utf16.size());
  return text;
}

} // namespace morex::in_memory

using namespace morex::in_memory; // the in-memory platform's calls use its parts unqualified

namespace morex::platform {

// The flags that Windows takes: in UTF-8 WC_ERR_INVALID_CHARS alone; in the other code pages
// WC_COMPOSITECHECK, WC_DISCARDNS, WC_SEPCHARS, WC_DEFAULTCHAR and WC_NO_BEST_FIT_CHARS. The
// in-memory platform models the last alone.
constexpr Dword kWcUtf8Flags = 0x80;
constexpr Dword kWcOtherCodePageFlags = 0x200 | 0x10 | 0x20 | 0x40 | kWcNoBestFitChars;

std::int32_t WideCharToMultiByte(unsigned codePage, Dword flags, const char16_t *wide,
                                 std::int32_t wideLength, char *multiByte,
                                 std::int32_t multiByteLength, const char *defaultChar,
                                 Bool *usedDefaultChar) {
  const Entered call(Call::WideCharToMultiByte, "", flags);
  if (Faulted(Call::WideCharToMultiByte))
    return 0;
  const unsigned effective = codePage == kCpAcp ? State().codePage : codePage;
  if (flags & ~(effective == 65001 ? kWcUtf8Flags : kWcOtherCodePageFlags))
    return Fail<std::int32_t>(kErrorInvalidFlags, 0);
  if (flags & ~kWcNoBestFitChars)
    Unmodelled("a WideCharToMultiByte flag but WC_NO_BEST_FIT_CHARS");
  if (!wide || wideLength == 0 || wideLength < -1 || multiByteLength < 0 || defaultChar ||
      (!multiByte && multiByteLength))
    return Fail<std::int32_t>(kErrorInvalidParameter, 0);
  const std::u16string text =
      wideLength == -1 ? std::u16string(wide) + u'\0' : std::u16string(wide, wideLength);
  bool usedDefault = false;
  const std::string bytes = Encode(effective, text, !flags, usedDefault);
  if (usedDefaultChar)
    *usedDefaultChar = usedDefault;
  const auto length = static_cast<std::int32_t>(bytes.size());
  if (multiByteLength && multiByteLength < length)
    return Fail<std::int32_t>(kErrorInsufficientBuffer, 0);
  std::copy_n(bytes.data(), multiByteLength ? bytes.size() : 0, multiByte);
  return Succeed(length);
}

} // namespace morex::platform
