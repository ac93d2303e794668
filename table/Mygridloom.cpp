#include "Mygridloom.h"

#include <algorithm>
#include <cassert>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <utility>

#include "Myinifile.h"
#include "html_escape.h"
#include "gridloom/native_path.h"

namespace gridloom {
namespace {

// A tag copied in whole 16-byte blocks: its bytes padded with NULs.
class Tag {
 public:
  explicit Tag(const std::string& text) : size_(text.size()), padded_(text) {
    padded_.resize((size_ + 15) / 16 * 16 + 16, '\0');
  }
  std::size_t size() const { return size_; }
  char* Write(char* out) const {
    std::memcpy(out, padded_.data(), 16);
    for (std::size_t i = 16; i < size_; i += 16) std::memcpy(out + i, padded_.data() + i, 16);
    return out + size_;
  }

 private:
  std::size_t size_;
  std::string padded_;
};

constexpr std::size_t kFileBufferSize = 1 << 18;

}  // namespace

RecordView TableRows::operator[](std::size_t index) const {
  const std::size_t first = index == 0 ? 0 : recordEnds_[index - 1];
  const std::size_t* ends = fields_.Ends();
  const std::size_t start = first == 0 ? 0 : ends[first - 1];
  return {fields_.Text().data(), ends + first, recordEnds_[index] - first, start};
}

std::size_t TableRows::SplitLineBreaks() const {
  // A CR LF in the text is split when a field ends between its two bytes.
  const std::string_view text = fields_.Text();
  const std::size_t* ends = fields_.Ends();
  const std::size_t* const last = ends + fields_.size();
  std::size_t count = 0;
  for (std::size_t at = text.find("\r\n"); at != std::string_view::npos;
       at = text.find("\r\n", at + 1)) {
    // The field ends are sorted and a CR LF is seldom far from the last: a galloping search.
    std::size_t step = 1;
    while (static_cast<std::size_t>(last - ends) > step && ends[step] <= at) {
      ends += step;
      step *= 2;
    }
    ends = std::lower_bound(ends, ends + std::min(step + 1, static_cast<std::size_t>(last - ends)),
                            at + 1);
    count += ends != last && *ends == at + 1;
  }
  return count;
}

void TableRows::Reserve(std::size_t fileSize) {
  // Most tables have fields of more than a few bytes; room that stays unused costs no
  // memory, and a table of shorter fields only grows the field ends.
  fields_.Reserve(fileSize + kEscapePadding, fileSize / 8 + 16);
}

std::size_t TableRows::Read(std::istream& input) {
  const std::size_t fields = CSVReader::AppendRecord(input, fields_);
  if (fields > 0) recordEnds_.push_back(fields_.size());
  return fields;
}

void TableRows::Seal() {
  fields_.Reserve(kEscapePadding, 0);
  std::memset(fields_.TextEnd(), 0, kEscapePadding);
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
  const auto buffer = std::make_unique_for_overwrite<char[]>(kFileBufferSize);
  std::ifstream file;
  file.rdbuf()->pubsetbuf(buffer.get(), kFileBufferSize);
  const std::string path = NativePath(csvPath);
  file.open(path, std::ios::in | std::ios::binary);
  if (file.fail()) return false;
  try {
    file.rdbuf()->sgetc();
  } catch (...) {
    return false;  // opened but not readable: a folder, say
  }

  // Every record with at least one field is a row, up to the first empty line. Once no byte
  // of the file is left no record is read, so a final line end adds no row.
  std::size_t columnCount = 0;
  const auto bytesLeft = [&file] {
    try {
      return !std::ifstream::traits_type::eq_int_type(file.rdbuf()->sgetc(),
                                                      std::ifstream::traits_type::eof());
    } catch (...) {
      return false;  // a read error ends the data, as it does for the reader
    }
  };
  if (bytesLeft()) {
    std::error_code unknown;
    const auto size = std::filesystem::file_size(path, unknown);
    if (!unknown) rows.Reserve(static_cast<std::size_t>(size));
    for (std::size_t fields; bytesLeft() && (fields = rows.Read(file)) > 0;)
      columnCount = std::max(columnCount, fields);
  }
  rows.Seal();
  Render(rows.size(), columnCount);
  rows = TableRows();  // rendered: the memory goes before the caller makes the wide text
  return true;
}

void MyGridLoom::Render(std::size_t rowCount, std::size_t columnCount) {
  // A row is written as piece 0, cell text 0, piece 1, ..., cell text C-1, piece C (C is
  // columnCount): piece k joins the close tag of cell k-1 (or the row's open tag) to the
  // open tag of cell k (or the row's close tag), so each seam between two cells is one copy.
  // In a row only pieces 0, 1, C-1 and C can differ from the ones between.
  enum Kind { kPlainRow, kFirstRow, kLastRow };
  // The section of cell k in a row of a kind: an index into the open and close tags.
  const std::string* const opens[] = {&tdRow1Open, &tdRowXOpen, &tdCol1Open, &tdColXOpen,
                                      &tdEtcOpen};
  const std::string* const closes[] = {&tdRow1Close, &tdRowXClose, &tdCol1Close, &tdColXClose,
                                       &tdEtcClose};
  const auto section = [&](Kind kind, std::size_t k) -> std::size_t {
    if (kind != kPlainRow) return kind == kFirstRow ? 0 : 1;
    return useTdCol1 && k == 0 ? 2 : useTdColX && k == columnCount - 1 ? 3 : 4;
  };
  const auto piece = [&](Kind kind, std::size_t k) {
    return Tag((k == 0 ? tableRowOpen : *closes[section(kind, k - 1)]) +
               (k == columnCount ? tableRowClose : *opens[section(kind, k)]));
  };
  struct Pieces {
    Tag first, second, between, beforeLast, last;
    std::size_t columns;
    const Tag& At(std::size_t k) const {  // piece k, for k from 0 to columns
      if (k >= 2 && k + 2 <= columns) return between;  // the common case first
      return k == 0 ? first : k == columns ? last : k == 1 ? second : beforeLast;
    }
    std::size_t RowSize() const {
      std::size_t size = 0;
      for (std::size_t k = 0; k <= columns; ++k) size += At(k).size();
      return size;
    }
  };
  const std::size_t c = columnCount;
  const auto pieces = [&](Kind kind) {
    return Pieces{piece(kind, 0), piece(kind, c > 0 ? 1 : 0), piece(kind, c > 3 ? 2 : 0),
                  piece(kind, c > 1 ? c - 1 : 0), piece(kind, c), c};
  };
  const Pieces kinds[3] = {pieces(kPlainRow), pieces(kFirstRow), pieces(kLastRow)};
  const auto kindOf = [&](std::size_t j) {
    return useTdRow1 && j == 0 ? kFirstRow : useTdRowX && j == rowCount - 1 ? kLastRow
                                                                            : kPlainRow;
  };
  const std::size_t rowSizes[3] = {kinds[0].RowSize(), kinds[1].RowSize(), kinds[2].RowSize()};
  const Tag tableBegin(tableOpen), tableEnd(tableClose);

  // The exact size first, so that the text is written once, in place.
  const std::string_view text = rows.Text();
  std::size_t size = tableBegin.size() + tableEnd.size() + text.size() +
                     EscapeGrowth(text.data(), text.size());
  for (std::size_t j = 0; j < rowCount; ++j) size += rowSizes[kindOf(j)];
  size -= 2 * rows.SplitLineBreaks();  // counted as line breaks above, but escaped apart

  html.resize(size + 16);  // room for the scratch bytes of the block copies
  char* out = tableBegin.Write(html.data());
  for (std::size_t j = 0; j < rowCount; ++j) {
    const RecordView record = rows[j];
    const Pieces& p = kinds[kindOf(j)];
    out = p.first.Write(out);
    const std::size_t fields = std::min(record.size(), columnCount);  // then empty cells
    for (std::size_t k = 0; k < fields; ++k) {
      const std::string_view field = record[k];
      out = p.At(k + 1).Write(WriteEscaped(out, field.data(), field.size()));
    }
    for (std::size_t k = fields; k < columnCount; ++k) out = p.At(k + 1).Write(out);
  }
  out = tableEnd.Write(out);
  assert(out == html.data() + size);
  html.resize(size);
}

std::string MyGridLoom::Escape(const std::string& text) {
  std::string padded = text;
  padded.append(kEscapePadding, '\0');
  std::string escaped(text.size() + EscapeGrowth(padded.data(), text.size()) + kEscapePadding,
                      '\0');
  escaped.resize(static_cast<std::size_t>(
      WriteEscaped(escaped.data(), padded.data(), text.size()) - escaped.data()));
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
