// Text encodings for the host: conversions between charsets, UTF-16 to a page's charset with
// character references for what it lacks, and UTF-8 written in pieces. The conversions are
// the system's: iconv (charset_posix.cpp) or those of Windows (charset_win.cpp); what needs
// neither is in charset.cpp.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace gridloom::host {

// The iconv name of a Windows code page: 65001 is UTF-8, others are CPnnn.
std::string CodePageCharset(unsigned codePage);

// Whether an encoding's name names UTF-8 ("UTF-8", "utf8", "UTF_8").
bool IsUtf8Name(std::string_view charset);

// Whether an encoding's name names Shift_JIS ("Shift_JIS", "SJIS", "MS_Kanji", "csShiftJIS").
bool IsShiftJisName(std::string_view charset);

// The charset of pages the user names: Shift_JIS is Windows code page 932 (backslash and
// tilde at 5C and 7E, the NEC and IBM extensions); glibc's SHIFT_JIS is the JIS X 0208 one,
// without them. Other names as they are.
std::string PageCharset(const std::string& name);

// Converts bytes between two charsets, named as iconv names them (on Windows: UTF-8,
// UTF-16LE/BE, CPnnn, windows-nnnn and the usual names of the code pages Windows has). Not
// for concurrent use: one per thread.
class Recoder {
 public:
  // Throws std::invalid_argument when the system knows either charset not.
  Recoder(const std::string& from, const std::string& to);
  ~Recoder();
  Recoder(const Recoder&) = delete;
  Recoder& operator=(const Recoder&) = delete;

  // nullopt when the text holds a sequence that is invalid or has no counterpart.
  std::optional<std::string> Convert(std::string_view text);

 private:
  struct State;  // the system's converter: an iconv descriptor, or two code pages
  std::unique_ptr<State> state_;
};

// Converts UTF-16 to a charset. A character the charset lacks becomes a numeric character
// reference (&#N;), so HTML keeps it. Not for concurrent use: one per thread.
class WideEncoder {
 public:
  explicit WideEncoder(const std::string& to);  // throws std::invalid_argument
  ~WideEncoder();
  WideEncoder(const WideEncoder&) = delete;
  WideEncoder& operator=(const WideEncoder&) = delete;

  std::string Encode(std::u16string_view text);

 private:
  struct State;  // the system's converter: an iconv descriptor, or a code page
  std::unique_ptr<State> state_;
  bool utf8_;  // UTF-8 has a fast path of its own
};

// The numeric character reference (&#N;) of the character at pos, which the WideEncoders
// write for a character their charset lacks; a lone surrogate is &#65533;. units: how many
// code units the character takes (1, or 2 for a pair).
std::string CharacterReference(std::u16string_view text, std::size_t pos, std::size_t& units);

// UTF-16 to UTF-8, a lone surrogate as the reference &#65533;: what WideEncoder("UTF-8")
// gives, at the speed of a table's worth of text.
std::string EncodeUtf8(std::u16string_view text);

// Writes text as UTF-8 in pieces, so that no UTF-8 copy of the whole text is made; on a
// Windows console, as characters.
int WriteUtf8(int fd, std::u16string_view text);

}  // namespace gridloom::host
