#include "table/Mygridloom.h"

#include <string>
#include <utility>

#include "base/parallel.h"
#include "gridloom/winapi.h"
#include "table/html_escape.h"
#include "table/read_rows.h"

namespace gridloom {

MyGridLoom::MyGridLoom(const std::string& csvPath, const std::string& iniPath, Isa isa)
    : isa(isa) {
  LoadTagSettings(iniPath);
  this->csvPath = csvPath;
  html.reset();
  htmlSize = 0;
  created = CreateTable();
}

const char* MyGridLoom::GetHtml() {
  if (!created) return "";
  if (html == nullptr) {
    Render(loadedRows);
    loadedRows = {};  // the HTML stands for them now
  }
  return html.get();
}

void MyGridLoom::WriteHtml(HtmlSink& sink, std::size_t blockSize) {
  if (!created) return;
  if (html == nullptr) {
    Render(loadedRows, &sink, blockSize);
  } else if (sink.Start({{htmlSize, {}}})) {
    sink.Write(0, {html.get(), htmlSize}, true);
  }
}

bool MyGridLoom::CreateTable() {
  FileInput first;
  if (!first.Open(csvPath, 0)) return false;

  // A file that starts with the UTF-8 byte order mark is a UTF-8 table: the mark is no cell
  // text, and its tags are made UTF-8 too. Otherwise the cells are in the ANSI code page,
  // whose lead bytes escaping needs.
  utf8 = first.SkipUtf8Mark();
  if (utf8) {
    TagsToUtf8();
  } else {
    leads = LeadBytes([](unsigned char byte) { return IsDBCSLeadByteEx(CP_ACP, byte) != 0; });
  }

  // A large file is read in two parts side by side, the second from a line end near its
  // middle, each through a handle of its own.
  const std::size_t size = first.Size();
  FileInput second;
  std::size_t cut = 0;
  if (PartsFor(size) > 1 && second.Open(csvPath, size / 2)) cut = FindCut(second, size);
  loadedRows = ReadRows(first, cut > 0 ? &second : nullptr, cut, size, isa, leads);
  return true;
}

unsigned MyGridLoom::HtmlCodePage() const { return utf8 ? CP_UTF8 : CP_ACP; }

std::string MyGridLoom::Escape(const std::string& text) {
  std::string padded = text;
  padded.append(kEscapePadding, '\0');
  std::string escaped(text.size() + EscapeGrowthOf(text) + kEscapePadding, '\0');
  static const LeadBytes kNone;
  const EscapeScan scan(kNone);
  escaped.resize(static_cast<std::size_t>(
      WriteEscaped<GRIDLOOM_HAVE_SSE2 != 0, false>(escaped.data(), padded.data(), text.size(),
                                                   scan) -
      escaped.data()));
  return escaped;
}

void MyGridLoom::ReplaceAll(std::string& text, const char* pattern, const char* replacement) {
  ReplaceAll(text, std::string(pattern), std::string(replacement));
}

void MyGridLoom::ReplaceAll(std::string& text, const std::string& pattern,
                            const std::string& replacement) {
  // Searching resumes behind each replacement, so no replacement is searched again.
  if (pattern.empty()) return;
  std::size_t at = text.find(pattern);
  if (at == std::string::npos) return;
  std::string result;
  std::size_t done = 0;
  for (; at != std::string::npos; at = text.find(pattern, done)) {
    result.append(text, done, at - done).append(replacement);
    done = at + pattern.size();
  }
  result.append(text, done);
  text = std::move(result);
}

}  // namespace gridloom
