#include "Mygridloom.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <utility>

#include "Myinifile.h"
#include "gridloom/native_path.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace gridloom {
namespace {

bool NeedsEscape(char c) { return c == '&' || c == '<' || c == '>' || c == '"' || c == '\r'; }

// The first byte in [p, end) that escaping may change.
const char* FindEscapable(const char* p, const char* end) {
#if defined(__SSE2__)
  const __m128i amp = _mm_set1_epi8('&'), lt = _mm_set1_epi8('<'), gt = _mm_set1_epi8('>'),
                quot = _mm_set1_epi8('"'), cr = _mm_set1_epi8('\r');
  for (; end - p >= 16; p += 16) {
    const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i hits =
        _mm_or_si128(_mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(c, amp), _mm_cmpeq_epi8(c, lt)),
                                  _mm_or_si128(_mm_cmpeq_epi8(c, gt), _mm_cmpeq_epi8(c, quot))),
                     _mm_cmpeq_epi8(c, cr));
    if (const int mask = _mm_movemask_epi8(hits)) return p + __builtin_ctz(mask);
  }
#endif
  while (p < end && !NeedsEscape(*p)) ++p;
  return p;
}

// How long the escaped text will be.
std::size_t EscapedLength(std::string_view text) {
  std::size_t length = text.size();
  const char* p = text.data();
  const char* const end = p + text.size();
  while ((p = FindEscapable(p, end)) != end) {
    switch (*p) {
      case '&': length += 4; break;
      case '<':
      case '>': length += 3; break;
      case '"': length += 5; break;
      default: length += (p + 1 != end && p[1] == '\n') ? 2 : 0; break;
    }
    ++p;
  }
  return length;
}

constexpr std::size_t kFileBufferSize = 1 << 18;

}  // namespace

void AppendEscaped(std::string& out, std::string_view text) {
  const char* p = text.data();
  const char* const end = p + text.size();
  while (p != end) {
    const char* special = FindEscapable(p, end);
    out.append(p, static_cast<std::size_t>(special - p));
    if (special == end) return;
    p = special + 1;
    switch (*special) {
      case '&': out.append("&amp;", 5); break;
      case '<': out.append("&lt;", 4); break;
      case '>': out.append("&gt;", 4); break;
      case '"': out.append("&quot;", 6); break;
      default:  // CR: with an LF after it a line break, alone a byte like any other
        if (p != end && *p == '\n') {
          out.append("<br>", 4);
          ++p;
        } else {
          out += '\r';
        }
    }
  }
}

RecordView TableRows::operator[](std::size_t index) const {
  const std::size_t first = index == 0 ? 0 : recordEnds_[index - 1];
  const std::size_t start = first == 0 ? 0 : fieldEnds_[first - 1];
  return {text_.data(), fieldEnds_.data() + first, recordEnds_[index] - first, start};
}

void TableRows::Append(const Record& record) {
  const std::size_t base = text_.size();
  text_.append(record.Text());
  for (const std::size_t end : record.Ends()) fieldEnds_.push_back(base + end);
  recordEnds_.push_back(fieldEnds_.size());
}

MyGridLoom::MyGridLoom(const std::string& csvPath, const std::string& iniPath) {
  LoadTagSettings(iniPath);
  this->csvPath = csvPath;
  html.clear();
  created = CreateTable();
}

const char* MyGridLoom::GetHtml() {
  if (!created) html.clear();
  return html.c_str();
}

void MyGridLoom::LoadTagSettings(const std::string& iniPath) {
  const MyIniFile ini(iniPath);
  useTdRow1 = useTdRowX = useTdCol1 = useTdColX = false;
  tableOpen = ini.ReadString("table", "open", "<table>");
  tableClose = ini.ReadString("table", "close", "</table>");
  tableRowOpen = ini.ReadString("tableRow", "open", "<tr>");
  tableRowClose = ini.ReadString("tableRow", "close", "</tr>");
  tdRow1Open = ini.ReadString("tdRow1", "open", "");
  tdRow1Close = ini.ReadString("tdRow1", "close", "");
  useTdRow1 = !tdRow1Open.empty();
  tdRowXOpen = ini.ReadString("tdRowX", "open", "");
  tdRowXClose = ini.ReadString("tdRowX", "close", "");
  useTdRowX = !tdRowXOpen.empty();
  tdCol1Open = ini.ReadString("tdCol1", "open", "");
  tdCol1Close = ini.ReadString("tdCol1", "close", "");
  useTdCol1 = !tdCol1Open.empty();
  tdColXOpen = ini.ReadString("tdColX", "open", "");
  tdColXClose = ini.ReadString("tdColX", "close", "");
  useTdColX = !tdColXOpen.empty();
  tdEtcOpen = ini.ReadString("tdEtc", "open", "<td>");
  tdEtcClose = ini.ReadString("tdEtc", "close", "</td>");
}

bool MyGridLoom::CreateTable() {
  // Binary mode: the reader sees CR LF as stored. A large buffer keeps the reads few.
  const auto buffer = std::make_unique<char[]>(kFileBufferSize);
  std::ifstream file;
  file.rdbuf()->pubsetbuf(buffer.get(), kFileBufferSize);
  const std::string path = NativePath(csvPath);
  std::error_code notFound;
  if (std::filesystem::is_directory(path, notFound)) return false;  // opens on POSIX, reads throw
  file.open(path, std::ios::in | std::ios::binary);
  if (file.fail()) return false;

  // Every record with at least one field is a row, up to the first empty line. Once no byte
  // of the file is left no record is read, so a final line end adds no row.
  std::size_t columnCount = 0;
  const auto bytesLeft = [&file] {
    return !std::ifstream::traits_type::eq_int_type(file.rdbuf()->sgetc(),
                                                    std::ifstream::traits_type::eof());
  };
  if (bytesLeft()) {
    CSVReader reader(file);
    while (reader.GetFieldCount() > 0) {
      columnCount = std::max<std::size_t>(columnCount, reader.GetFieldCount());
      rows.Append(reader.GetRecord());
      if (!bytesLeft()) break;
      reader.ReadRecord(file);
    }
  }
  Render(rows.size(), columnCount);
  return true;
}

void MyGridLoom::Render(std::size_t rowCount, std::size_t columnCount) {
  struct Section {
    const std::string* open;
    const std::string* close;
  };
  const Section row1{&tdRow1Open, &tdRow1Close}, rowX{&tdRowXOpen, &tdRowXClose},
      col1{&tdCol1Open, &tdCol1Close}, colX{&tdColXOpen, &tdColXClose},
      etc{&tdEtcOpen, &tdEtcClose};

  const std::size_t cellTags = std::max({row1.open->size() + row1.close->size(),
                                         rowX.open->size() + rowX.close->size(),
                                         col1.open->size() + col1.close->size(),
                                         colX.open->size() + colX.close->size(),
                                         etc.open->size() + etc.close->size()});
  html = tableOpen;
  html.reserve(tableOpen.size() + tableClose.size() +
               rowCount * (tableRowOpen.size() + tableRowClose.size() + columnCount * cellTags) +
               EscapedLength(rows.Text()));

  for (std::size_t j = 0; j < rowCount; ++j) {
    const RecordView record = rows[j];
    const Section* wholeRow = useTdRow1 && j == 0                ? &row1
                              : useTdRowX && j == rowCount - 1 ? &rowX
                                                               : nullptr;
    html += tableRowOpen;
    for (std::size_t k = 0; k < columnCount; ++k) {
      const Section& cell = wholeRow                                 ? *wholeRow
                            : useTdCol1 && k == 0                    ? col1
                            : useTdColX && k == columnCount - 1 ? colX
                                                                     : etc;
      html += *cell.open;
      if (k < record.size()) AppendEscaped(html, record[k]);
      html += *cell.close;
    }
    html += tableRowClose;
  }
  html += tableClose;
}

std::string MyGridLoom::Escape(const std::string& text) {
  std::string escaped;
  escaped.reserve(text.size());
  AppendEscaped(escaped, text);
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
