// Charsets on POSIX systems: the conversions are iconv's.
#include <iconv.h>

#include <bit>
#include <cerrno>
#include <stdexcept>

#include "charset.h"

namespace gridloom::host {
namespace {

const char* Utf16Native() { return std::endian::native == std::endian::little ? "UTF-16LE" : "UTF-16BE"; }

bool Known(const std::string& charset) {
  iconv_t cd = iconv_open(charset.c_str(), "UTF-8");
  if (cd == reinterpret_cast<iconv_t>(-1)) return false;
  iconv_close(cd);
  return true;
}

iconv_t Open(const std::string& to, const std::string& from) {
  iconv_t cd = iconv_open(to.c_str(), from.c_str());
  if (cd == reinterpret_cast<iconv_t>(-1)) {
    throw std::invalid_argument("unsupported encoding " + (Known(to) ? from : to));
  }
  return cd;
}

}  // namespace

struct Recoder::State {
  iconv_t cd;
};

struct WideEncoder::State {
  iconv_t cd;
};

// Between the same charsets too: iconv then checks that the text is valid in it.
Recoder::Recoder(const std::string& from, const std::string& to)
    : state_(new State{Open(to, from)}) {}

Recoder::~Recoder() { iconv_close(state_->cd); }

std::optional<std::string> Recoder::Convert(std::string_view text) {
  const iconv_t cd = state_->cd;
  iconv(cd, nullptr, nullptr, nullptr, nullptr);
  std::string out(text.size() * 2 + 16, '\0');
  char* in = const_cast<char*>(text.data());
  std::size_t inLeft = text.size();
  std::size_t used = 0;
  for (;;) {
    char* outPtr = out.data() + used;
    std::size_t outLeft = out.size() - used;
    const std::size_t rc = inLeft == 0 ? iconv(cd, nullptr, nullptr, &outPtr, &outLeft)
                                       : iconv(cd, &in, &inLeft, &outPtr, &outLeft);
    used = static_cast<std::size_t>(outPtr - out.data());
    if (rc != static_cast<std::size_t>(-1)) {
      if (inLeft == 0) {
        // The final shift sequence, if the charset has one, is now written too.
        if (iconv(cd, nullptr, nullptr, &outPtr, &outLeft) != static_cast<std::size_t>(-1)) {
          out.resize(static_cast<std::size_t>(outPtr - out.data()));
          return out;
        }
      }
      continue;
    }
    if (errno != E2BIG) return std::nullopt;
    out.resize(out.size() * 2);
  }
}

WideEncoder::WideEncoder(const std::string& to)
    : state_(new State{Open(to, Utf16Native())}), utf8_(IsUtf8Name(to)) {}

WideEncoder::~WideEncoder() { iconv_close(state_->cd); }

std::string WideEncoder::Encode(std::u16string_view text) {
  if (utf8_) return EncodeUtf8(text);
  const iconv_t cd = state_->cd;
  iconv(cd, nullptr, nullptr, nullptr, nullptr);
  std::string out(text.size() * 3 + 16, '\0');
  std::size_t used = 0;
  std::size_t pos = 0;  // in code units
  while (true) {
    char* in = const_cast<char*>(reinterpret_cast<const char*>(text.data() + pos));
    std::size_t inLeft = (text.size() - pos) * sizeof(char16_t);
    char* outPtr = out.data() + used;
    std::size_t outLeft = out.size() - used;
    const std::size_t rc = inLeft == 0 ? iconv(cd, nullptr, nullptr, &outPtr, &outLeft)
                                       : iconv(cd, &in, &inLeft, &outPtr, &outLeft);
    const int error = errno;
    used = static_cast<std::size_t>(outPtr - out.data());
    pos = text.size() - inLeft / sizeof(char16_t);
    if (rc != static_cast<std::size_t>(-1)) {
      if (inLeft == 0) break;
      continue;
    }
    if (error == E2BIG) {
      out.resize(out.size() * 2);
      continue;
    }
    // A character the charset lacks, or a lone surrogate: a character reference instead.
    std::size_t units = 1;
    out.resize(used);
    out += CharacterReference(text, pos, units);
    used = out.size();
    out.resize(used + (text.size() - pos) * 3 + 16);
    pos += units;
  }
  out.resize(used);
  return out;
}

}  // namespace gridloom::host
