#include "inline_scan.h"

#include <algorithm>

namespace gridloom::host {

namespace {
constexpr std::string_view kOpening = "&gridloom(";
}

std::vector<InlineCall> FindInlineCalls(std::string_view page) {
  std::vector<InlineCall> calls;
  std::size_t line = 1;
  std::size_t counted = 0;  // lines are counted up to here
  for (std::size_t at = page.find(kOpening); at != std::string_view::npos;
       at = page.find(kOpening, at)) {
    line += static_cast<std::size_t>(std::count(page.begin() + counted, page.begin() + at, '\n'));
    counted = at;
    InlineCall call;
    call.begin = at;
    call.line = line;
    const std::size_t argsBegin = at + kOpening.size();
    bool quoted = false;
    std::size_t close = std::string_view::npos;
    for (std::size_t i = argsBegin; i < page.size(); ++i) {
      if (page[i] == '"') {
        quoted = !quoted;  // a doubled quote toggles twice
      } else if (page[i] == ')' && !quoted) {
        close = i;
        break;
      }
    }
    if (close == std::string_view::npos) {
      call.end = argsBegin;
    } else {
      call.end = close + 1;
      call.args = page.substr(argsBegin, close - argsBegin);
      call.balanced = true;
    }
    calls.push_back(call);
    at = call.end;
  }
  return calls;
}

std::string CsvFileName(std::string_view argText) {
  argText = argText.substr(0, argText.find('\0'));  // the plug-in gets a C string
  std::string field;
  if (argText.empty() || argText[0] != '"') {
    return std::string(argText.substr(0, argText.find_first_of(",\r\n")));
  }
  // A quoted field: a quote and the byte after it are read as a pair.
  for (std::size_t i = 1; i < argText.size(); ++i) {
    if (argText[i] != '"') {
      field += argText[i];
      continue;
    }
    if (i + 1 == argText.size()) break;
    const char next = argText[++i];
    if (next == ',' || next == '\r' || next == '\n') break;
    if (next != '"') field += '"';
    field += next;
  }
  return field;
}

std::string ArgumentText(const std::vector<std::string>& names) {
  std::string text;
  for (const std::string& name : names) {
    if (!text.empty()) text += ',';
    text += '"';
    for (char c : name) {
      if (c == '"') text += '"';
      text += c;
    }
    text += '"';
  }
  return text;
}

}  // namespace gridloom::host
