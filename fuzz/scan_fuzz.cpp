// FindInlineCalls on arbitrary pages. A byte 0x01 of the input stands for "&gridloom(", 0x02
// for "<!--" and 0x03 for "-->", so that short inputs hold calls and comments (the scanner
// gives those bytes no meaning of their own). The calls found must be those of a reference
// scanner written apart, as a machine of three states that reads the page one byte at a time;
// and, whatever the two say, each call lies in the page after the one before, starts with
// "&gridloom(", has the line that the line ends before it give, and a balanced call ends with
// the ")" after its arguments. Last, the page with each call replaced by a plain mark holds no
// call, and with each call replaced by a short call of its own holds exactly those, on the
// same lines: what lies between calls decides nothing about them.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "inline_scan.h"

namespace {

using gridloom::host::FindInlineCalls;
using gridloom::host::InlineCall;

constexpr std::string_view kOpening = "&gridloom(";

[[noreturn]] void Fail(const char* what, std::string_view page, std::size_t call) {
  std::fprintf(stderr, "inline scan: %s (call %zu of a page of %zu bytes)\n", what, call,
               page.size());
  std::abort();
}

std::string PageOf(const std::uint8_t* bytes, std::size_t size) {
  std::string page;
  for (std::size_t i = 0; i < size; ++i) {
    switch (bytes[i]) {
      case 0x01: page += kOpening; break;
      case 0x02: page += "<!--"; break;
      case 0x03: page += "-->"; break;
      default: page += static_cast<char>(bytes[i]);
    }
  }
  return page;
}

struct Expected {
  std::size_t begin = 0, end = 0, line = 0;
  std::string args;
  std::string malformed;
};

// The reference: in text, "<!--" opens a comment and "&gridloom(" a call; in a comment only
// "-->" counts; in a call a line end, an unquoted "<" or another "&gridloom(" (quoted or not)
// leaves it malformed before that byte, which is then read again as text, and an unquoted ")"
// closes it. Lines are counted as each byte is passed: an LF, or a CR that no LF follows.
std::vector<Expected> Reference(std::string_view page) {
  enum class State { kText, kComment, kCall } state = State::kText;
  std::vector<Expected> calls;
  std::size_t line = 1;
  bool quoted = false;
  const auto at = [&page](std::size_t p, std::string_view what) {
    return page.substr(p, what.size()) == what;
  };
  const auto stop = [&](std::size_t p, const char* why) {
    calls.back().end = p;
    calls.back().malformed = why;
    state = State::kText;
  };
  std::size_t p = 0;
  while (p < page.size()) {
    const char c = page[p];
    if (state == State::kText && at(p, "<!--")) {
      state = State::kComment;
      p += 4;
      continue;
    }
    if (state == State::kText && at(p, kOpening)) {
      calls.push_back({p, 0, line, "", ""});
      state = State::kCall;
      quoted = false;
      p += kOpening.size();
      continue;
    }
    if (state == State::kComment && at(p, "-->")) {
      state = State::kText;
      p += 3;
      continue;
    }
    if (state == State::kCall) {
      if (c == '\n' || c == '\r') {
        stop(p, "the line ends");
        continue;
      }
      if (at(p, kOpening)) {
        stop(p, "another &gridloom( comes");
        continue;
      }
      if (c == '<' && !quoted) {
        stop(p, "a \"<\" comes");
        continue;
      }
      if (c == ')' && !quoted) {
        Expected& call = calls.back();
        call.end = p + 1;
        call.args = std::string(page.substr(call.begin + kOpening.size(),
                                            p - call.begin - kOpening.size()));
        state = State::kText;
        ++p;
        continue;
      }
      if (c == '"') quoted = !quoted;
    }
    if (c == '\n' || (c == '\r' && (p + 1 == page.size() || page[p + 1] != '\n'))) ++line;
    ++p;
  }
  if (state == State::kCall) stop(page.size(), "the page ends");
  return calls;
}

// The line of a byte, counted afresh from the start of the page.
std::size_t LineAt(std::string_view page, std::size_t offset) {
  std::size_t line = 1;
  for (std::size_t i = 0; i < offset; ++i) {
    if (page[i] == '\n') {
      ++line;
    } else if (page[i] == '\r' && (i + 1 == page.size() || page[i + 1] != '\n')) {
      ++line;
    }
  }
  return line;
}

void CheckShape(std::string_view page, const std::vector<InlineCall>& calls) {
  std::size_t after = 0;  // where the call before ended
  for (std::size_t i = 0; i < calls.size(); ++i) {
    const InlineCall& call = calls[i];
    if (call.begin < after) Fail("call overlaps or precedes the one before", page, i);
    if (call.end > page.size() || call.end < call.begin + kOpening.size())
      Fail("call does not lie in the page", page, i);
    if (page.substr(call.begin, kOpening.size()) != kOpening)
      Fail("call does not start with &gridloom(", page, i);
    if (call.line != LineAt(page, call.begin)) Fail("wrong line", page, i);
    const std::string_view written = page.substr(call.begin, call.end - call.begin);
    if (written.find_first_of("\r\n") != std::string_view::npos)
      Fail("call spans a line end", page, i);
    if (call.Balanced()) {
      if (page[call.end - 1] != ')') Fail("balanced call does not end with )", page, i);
      if (call.args != written.substr(kOpening.size(), written.size() - kOpening.size() - 1))
        Fail("arguments are not the text between the parentheses", page, i);
      if (call.args.data() != page.data() + call.begin + kOpening.size())
        Fail("arguments do not point into the page", page, i);
    } else if (!call.args.empty()) {
      Fail("malformed call has arguments", page, i);
    }
    after = call.end;
  }
}

// The page with each call's text replaced by what mark gives for the call's number.
template <typename Mark>
std::string Replaced(std::string_view page, const std::vector<InlineCall>& calls, Mark mark) {
  std::string out;
  std::size_t from = 0;
  for (std::size_t i = 0; i < calls.size(); ++i) {
    out += page.substr(from, calls[i].begin - from);
    out += mark(i);
    from = calls[i].end;
  }
  out += page.substr(from);
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  const std::string page = PageOf(bytes, size);
  const std::vector<InlineCall> calls = FindInlineCalls(page);
  CheckShape(page, calls);

  const std::vector<Expected> expected = Reference(page);
  if (calls.size() != expected.size()) Fail("not as many calls as the reference finds", page, 0);
  for (std::size_t i = 0; i < calls.size(); ++i) {
    const InlineCall& got = calls[i];
    const Expected& want = expected[i];
    if (got.begin != want.begin || got.end != want.end)
      Fail("call's place differs from the reference", page, i);
    if (got.line != want.line) Fail("call's line differs from the reference", page, i);
    if (got.args != want.args) Fail("call's arguments differ from the reference", page, i);
    if (got.malformed != want.malformed) Fail("malformed differently than the reference", page, i);
  }

  // A mark that holds none of "&<-\r\n" joins with nothing around it.
  const std::string marked = Replaced(page, calls, [](std::size_t) { return "#"; });
  if (!FindInlineCalls(marked).empty()) Fail("a call found after the calls were marked", page, 0);

  const std::string redone = Replaced(page, calls, [](std::size_t i) {
    return std::string(kOpening) + std::to_string(i) + ")";
  });
  const std::vector<InlineCall> again = FindInlineCalls(redone);
  if (again.size() != calls.size())
    Fail("calls put in place of calls are found otherwise", page, 0);
  for (std::size_t i = 0; i < again.size(); ++i) {
    if (!again[i].Balanced() || again[i].args != std::to_string(i))
      Fail("a call put in place of a call is read otherwise", page, i);
    if (again[i].line != calls[i].line) Fail("a call put in place of a call moved line", page, i);
  }
  return 0;
}
