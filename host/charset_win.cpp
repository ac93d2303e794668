// Charsets on Windows: the conversions are MultiByteToWideChar and WideCharToMultiByte, with
// UTF-16 by hand; a charset is known by the code page its name names.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <algorithm>
#include <climits>
#include <stdexcept>
#include <utility>

#include "charset.h"
#include "charset_win.h"

namespace gridloom::host {
namespace {

constexpr UINT kUtf16LE = 1200, kUtf16BE = 1201;

std::string Upper(std::string_view name) {
  std::string upper;
  for (const char c : name) {
    upper += c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c == '_' ? '-' : c;
  }
  return upper;
}

// The code page of a charset name, or 0 when Windows has none by that name.
UINT CodePageOf(const std::string& charset) {
  if (IsUtf8Name(charset)) return CP_UTF8;
  const std::string name = Upper(charset);
  if (name == "UTF-16LE") return kUtf16LE;
  if (name == "UTF-16BE") return kUtf16BE;
  const auto number = [](std::string_view digits) -> UINT {
    if (digits.empty() || digits.size() > 5) return 0;
    UINT value = 0;
    for (const char c : digits) {
      if (c < '0' || c > '9') return 0;
      value = value * 10 + static_cast<UINT>(c - '0');
    }
    return value;
  };
  UINT page = 0;
  for (const std::string_view prefix : {"CP", "WINDOWS-", "IBM", "MS"}) {
    if (name.starts_with(prefix)) page = number(std::string_view(name).substr(prefix.size()));
    if (page != 0) break;
  }
  static constexpr std::pair<const char*, UINT> kNames[] = {
      {"EUC-JP", 20932}, {"ISO-2022-JP", 50220}, {"US-ASCII", 20127}, {"ASCII", 20127},
      {"LATIN1", 28591}, {"KOI8-R", 20866},      {"KOI8-U", 21866},   {"GB18030", 54936},
      {"GBK", 936},      {"GB2312", 936},        {"BIG5", 950},       {"EUC-KR", 51949},
      {"UHC", 949},      {"TIS-620", 874},
  };
  for (const auto& [known, value] : kNames) {
    if (name == known) page = value;
  }
  if (IsShiftJisName(name)) page = 932;  // "Shift_JIS", "SJIS", "MS_Kanji" and their kin
  if (page == 0 && name.starts_with("ISO-8859-")) {
    const UINT part = number(std::string_view(name).substr(9));
    if (part >= 1 && part <= 15) page = 28590 + part;
  }
  if (page == kUtf16LE || page == kUtf16BE || page == CP_UTF8) return page;
  return page != 0 && IsValidCodePage(page) ? page : 0;
}

UINT Require(const std::string& charset) {
  const UINT page = CodePageOf(charset);
  if (page == 0) throw std::invalid_argument("unsupported encoding " + charset);
  return page;
}

}  // namespace

namespace win {

bool TakesNoFlags(unsigned codePage) {
  return codePage == 42 || codePage == 65000 || (codePage >= 50220 && codePage <= 50229) ||
         (codePage >= 57002 && codePage <= 57011);
}

std::optional<std::wstring> Decode(std::string_view bytes, unsigned codePage) {
  std::wstring wide;
  if (bytes.empty()) return wide;
  if (codePage == kUtf16LE || codePage == kUtf16BE) {
    if (bytes.size() % 2 != 0) return std::nullopt;
    wide.resize(bytes.size() / 2);
    for (std::size_t i = 0; i < wide.size(); ++i) {
      const auto lo = static_cast<unsigned char>(bytes[2 * i + (codePage == kUtf16LE ? 0 : 1)]);
      const auto hi = static_cast<unsigned char>(bytes[2 * i + (codePage == kUtf16LE ? 1 : 0)]);
      wide[i] = static_cast<wchar_t>(lo | hi << 8);
    }
    return wide;
  }
  if (bytes.size() > INT_MAX) return std::nullopt;
  const DWORD flags = TakesNoFlags(codePage) ? 0 : MB_ERR_INVALID_CHARS;
  const int size = static_cast<int>(bytes.size());
  const int units = MultiByteToWideChar(codePage, flags, bytes.data(), size, nullptr, 0);
  if (units <= 0) return std::nullopt;
  wide.resize(static_cast<std::size_t>(units));
  MultiByteToWideChar(codePage, flags, bytes.data(), size, wide.data(), units);
  return wide;
}

std::optional<std::string> Encode(std::wstring_view wide, unsigned codePage) {
  std::string bytes;
  if (wide.empty()) return bytes;
  if (codePage == kUtf16LE || codePage == kUtf16BE) {
    bytes.resize(wide.size() * 2);
    for (std::size_t i = 0; i < wide.size(); ++i) {
      const auto unit = static_cast<unsigned>(wide[i]);
      bytes[2 * i + (codePage == kUtf16LE ? 0 : 1)] = static_cast<char>(unit & 0xFF);
      bytes[2 * i + (codePage == kUtf16LE ? 1 : 0)] = static_cast<char>(unit >> 8);
    }
    return bytes;
  }
  if (wide.size() > INT_MAX / 4) return std::nullopt;
  const bool utf8 = codePage == CP_UTF8;
  const bool plain = TakesNoFlags(codePage);
  const DWORD flags = utf8 ? WC_ERR_INVALID_CHARS : plain ? 0 : WC_NO_BEST_FIT_CHARS;
  BOOL usedDefault = FALSE;
  BOOL* const used = utf8 || plain ? nullptr : &usedDefault;
  const int size = static_cast<int>(wide.size());
  const int length =
      WideCharToMultiByte(codePage, flags, wide.data(), size, nullptr, 0, nullptr, used);
  if (length <= 0 || usedDefault) return std::nullopt;
  bytes.resize(static_cast<std::size_t>(length));
  WideCharToMultiByte(codePage, flags, wide.data(), size, bytes.data(), length, nullptr, nullptr);
  return bytes;
}

}  // namespace win

// No conversion state: the code pages are all a converter needs.
struct Recoder::State {
  UINT from, to;
};

struct WideEncoder::State {
  UINT to;
};

Recoder::Recoder(const std::string& from, const std::string& to)
    : state_(new State{Require(from), Require(to)}) {}

Recoder::~Recoder() = default;

std::optional<std::string> Recoder::Convert(std::string_view text) {
  const std::optional<std::wstring> wide = win::Decode(text, state_->from);
  if (!wide) return std::nullopt;
  return win::Encode(*wide, state_->to);
}

WideEncoder::WideEncoder(const std::string& to)
    : state_(new State{Require(to)}), utf8_(IsUtf8Name(to)) {}

WideEncoder::~WideEncoder() = default;

std::string WideEncoder::Encode(std::u16string_view text) {
  if (utf8_) return EncodeUtf8(text);
  const UINT page = state_->to;
  const std::wstring_view wide(reinterpret_cast<const wchar_t*>(text.data()), text.size());
  if (std::optional<std::string> whole = win::Encode(wide, page)) return std::move(*whole);
  // A character the code page lacks, or a lone surrogate: a character reference instead.
  // The characters between are converted a run at a time, a run halved until it converts.
  std::string out;
  for (std::size_t pos = 0; pos < text.size();) {
    std::size_t units = 1;
    const std::string reference = CharacterReference(text, pos, units);
    if (!win::Encode(wide.substr(pos, units), page)) {
      out += reference;
      pos += units;
      continue;
    }
    std::size_t run = std::min<std::size_t>(text.size() - pos, 4096);
    std::optional<std::string> bytes;
    while (run > units && !(bytes = win::Encode(wide.substr(pos, run), page))) run /= 2;
    if (run <= units) {
      run = units;
      bytes = win::Encode(wide.substr(pos, units), page);
    }
    out += *bytes;
    pos += run;
  }
  return out;
}

}  // namespace gridloom::host
