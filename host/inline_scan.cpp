#include "inline_scan.h"

namespace gridloom::host {

namespace {

constexpr std::string_view kOpening = "&gridloom(";

// Whether page[i] ends a line; a CR before an LF does not (the LF does).
bool EndsLine(std::string_view page, std::size_t i) {
  return page[i] == '\n' || (page[i] == '\r' && (i + 1 == page.size() || page[i + 1] != '\n'));
}

std::size_t CountLines(std::string_view page, std::size_t from, std::size_t to) {
  std::size_t lines = 0;
  for (std::size_t i = from; i < to; ++i) lines += EndsLine(page, i) ? 1 : 0;
  return lines;
}

// Scans the argument text of the call whose "(" ends at argsBegin.
InlineCall ScanCall(std::string_view page, std::size_t begin, std::size_t line) {
  InlineCall call;
  call.begin = begin;
  call.line = line;
  const std::size_t argsBegin = begin + kOpening.size();
  bool quoted = false;
  for (std::size_t i = argsBegin; i < page.size(); ++i) {
    const char c = page[i];
    if (c == '"') {
      quoted = !quoted;  // a doubled quote toggles twice
    } else if (c == '\n' || c == '\r') {
      call.malformed = "the line ends";
    } else if (c == ')' && !quoted) {
      call.end = i + 1;
      call.args = page.substr(argsBegin, i - argsBegin);
      return call;
    } else if (c == '<' && !quoted) {
      call.malformed = "a \"<\" comes";
    } else if (c == '&' && page.substr(i).starts_with(kOpening)) {
      call.malformed = "another &gridloom( comes";
    }
    if (!call.malformed.empty()) {
      call.end = i;  // scanning goes on here, so no byte is scanned twice
      return call;
    }
  }
  call.end = page.size();
  call.malformed = "the page ends";
  return call;
}

}  // namespace

std::vector<InlineCall> FindInlineCalls(std::string_view page) {
  std::vector<InlineCall> calls;
  std::size_t line = 1;
  for (std::size_t at = 0; at < page.size();) {
    const std::size_t i = page.find_first_of("&<\r\n", at);
    if (i == std::string_view::npos) break;
    at = i + 1;
    if (page[i] == '\n' || page[i] == '\r') {
      line += EndsLine(page, i) ? 1 : 0;
    } else if (page[i] == '<') {
      if (!page.substr(i).starts_with("<!--")) continue;
      const std::size_t close = page.find("-->", i + 4);
      at = close == std::string_view::npos ? page.size() : close + 3;
      line += CountLines(page, i, at);
    } else if (page.substr(i).starts_with(kOpening)) {
      calls.push_back(ScanCall(page, i, line));
      at = calls.back().end;
      line += CountLines(page, i, at);
    }
  }
  return calls;
}

}  // namespace gridloom::host
