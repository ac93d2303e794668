// Finds the inline calls "&gridloom(ARGS)" in a page, byte by byte (any ASCII-compatible
// encoding, Shift_JIS included), in one pass. ARGS ends at the first ")" outside double
// quotes. A call is written on one line: a line end, a "<" outside quotes, another
// "&gridloom(" or the end of the page before its ")" makes it malformed, and it is then
// left as written. Calls inside HTML comments are not calls: authors comment them out.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace gridloom::host {

struct InlineCall {
  std::size_t begin = 0;  // offset of "&"
  std::size_t end = 0;    // just after ")"; for a malformed call, where scanning stopped
  std::string_view args;  // the text between the parentheses; empty when malformed
  std::size_t line = 0;   // line of "&", from 1 (LF, CR LF and a lone CR end a line)
  std::string_view malformed;  // empty, or what came before the ")", as "the line ends"

  bool Balanced() const { return malformed.empty(); }
};

// Every call in page order.
std::vector<InlineCall> FindInlineCalls(std::string_view page);

}  // namespace gridloom::host
