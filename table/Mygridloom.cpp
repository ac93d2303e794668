#include "Mygridloom.h"

#include <algorithm>
#include <cassert>
#include <climits>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <istream>
#include <limits>
#include <memory>
#include <streambuf>
#include <utility>

#include "Myinifile.h"
#include "html_escape.h"
#include "parallel.h"
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

// The CSV data from an offset on, as a stream buffer that tells where in the data it stands.
class DataInput : public std::streambuf {
 public:
  std::size_t Position() const { return start_ + static_cast<std::size_t>(gptr() - eback()); }
  bool AtEnd() { return traits_type::eq_int_type(sgetc(), traits_type::eof()); }
  // Reads the whole records that the get area holds and that start before stop into rows,
  // many at a time.
  void ReadMany(TableRows& rows, std::size_t stop) {
    const char* const next = gptr();
    const std::size_t left = stop - Position(), held = static_cast<std::size_t>(egptr() - next);
    const char* const reached = rows.ReadMany(next, next + std::min(left, held), egptr());
    for (auto skip = static_cast<std::size_t>(reached - next); skip > 0;) {
      const int step = static_cast<int>(std::min<std::size_t>(skip, INT_MAX));
      gbump(step);
      skip -= static_cast<std::size_t>(step);
    }
  }

 protected:
  std::size_t start_ = 0;  // the offset of the get area's first byte
};

class MemoryInput final : public DataInput {
 public:
  MemoryInput(std::string_view data, std::size_t offset) {
    char* begin = const_cast<char*>(data.data());  // the get area is only read
    setg(begin + offset, begin + offset, begin + data.size());
    start_ = offset;
  }
};

// A file in binary mode (the reader sees CR LF as stored), read in large blocks. A read error
// ends the data.
class FileInput final : public DataInput {
 public:
  // False when the file cannot be opened, or read from the offset (a folder, say).
  bool Open(const std::string& path, std::size_t offset) {
    file_.open(path, std::ios::in | std::ios::binary);
    if (file_.fail() || (offset > 0 && file_.seekg(static_cast<std::streamoff>(offset)).fail()))
      return false;
    try {
      file_.rdbuf()->sgetc();
    } catch (...) {
      return false;
    }
    buffer_ = std::make_unique_for_overwrite<char[]>(kFileBufferSize);
    setg(buffer_.get(), buffer_.get(), buffer_.get());
    start_ = offset;
    return true;
  }

 protected:
  int_type underflow() override {
    if (gptr() < egptr()) return traits_type::to_int_type(*gptr());
    start_ += static_cast<std::size_t>(egptr() - eback());
    std::streamsize got = 0;
    try {
      got = file_.rdbuf()->sgetn(buffer_.get(), kFileBufferSize);
    } catch (...) {
      got = 0;
    }
    setg(buffer_.get(), buffer_.get(), buffer_.get() + std::max<std::streamsize>(got, 0));
    return got > 0 ? traits_type::to_int_type(*gptr()) : traits_type::eof();
  }

 private:
  std::ifstream file_;
  std::unique_ptr<char[]> buffer_;
};

// Reads records from input into rows until its position reaches `stop` (or goes past it),
// and answers that position. ended: an empty line or the end of the data came first. bytes:
// about how many bytes are left to read. starts, if not null, takes the position of each
// record as it begins, up to kProbedStarts of them.
constexpr std::size_t kProbedStarts = 1024;
std::size_t ReadPart(TableRows& rows, DataInput& input, std::size_t stop, std::size_t bytes,
                     bool& ended, std::vector<std::size_t>* starts = nullptr) {
  std::istream stream(&input);
  rows.Reserve(bytes);
  ended = false;
  while (input.Position() < stop) {
    if (starts != nullptr && starts->size() < kProbedStarts) {
      starts->push_back(input.Position());
    } else {
      input.ReadMany(rows, stop);
      if (input.Position() >= stop) break;
    }
    // Once no byte is left no record is read, so a final line end adds no row.
    if (input.AtEnd() || rows.Read(stream) == 0) {
      ended = true;
      break;
    }
  }
  rows.Seal();
  return input.Position();
}

// The rows of data of about `size` bytes, read by `first` from its start; `second`, if not
// null, stands at `cut`, and the rows from there are read beside the ones before.
std::vector<TableRows> ReadRows(DataInput& first, DataInput* second, std::size_t cut,
                                std::size_t size) {
  if (second == nullptr) cut = 0;
  std::vector<TableRows> parts(cut > 0 ? 2 : 1);
  constexpr std::size_t kAll = std::numeric_limits<std::size_t>::max();
  std::size_t reached = 0;
  bool ended[2] = {false, false};
  std::vector<std::size_t> starts;  // of the second part's first records
  if (cut > 0) starts.reserve(kProbedStarts);
  RunParts(parts.size(), [&](std::size_t i) {
    if (i == 0) {
      reached = ReadPart(parts[0], first, cut > 0 ? cut : kAll, cut > 0 ? cut : size, ended[0]);
    } else {
      ReadPart(parts[1], *second, kAll, size > cut ? size - cut : 0, ended[1], &starts);
    }
  });
  if (cut == 0) return parts;
  // The second part is kept from the first of its records that starts where a record of the
  // first part ends: from there on both read the same. Records it read from the middle of a
  // record (a cut in a quoted line end) go. The first part reads on, record by record, to such
  // a start, as long as there is one ahead.
  while (!ended[0]) {
    const auto next = std::lower_bound(starts.begin(), starts.end(), reached);
    if (next == starts.end()) break;
    if (*next == reached) {
      parts[1].DropFront(static_cast<std::size_t>(next - starts.begin()));
      return parts;
    }
    reached = ReadPart(parts[0], first, reached + 1, 0, ended[0]);
  }
  parts.pop_back();
  if (!ended[0]) ReadPart(parts[0], first, kAll, size > reached ? size - reached : 0, ended[0]);
  return parts;
}

// Where to cut a file of this size for reading it in two parts: input, opened at its middle,
// is moved past the first line end after it. 0: no cut (no line end soon).
std::size_t FindCut(DataInput& input, std::size_t size) {
  for (std::size_t looked = 0; looked < kFileBufferSize; ++looked) {
    const int byte = input.sbumpc();
    if (byte == '\n') return input.Position() < size ? input.Position() : 0;
    if (byte == std::char_traits<char>::eof()) break;
  }
  return 0;
}

}  // namespace

std::vector<TableRows> ReadRows(std::string_view data, std::size_t cut) {
  if (cut >= data.size()) cut = 0;
  MemoryInput first(data, 0), second(data, cut);
  return ReadRows(first, cut > 0 ? &second : nullptr, cut, data.size());
}

RecordView TableRows::operator[](std::size_t index) const {
  index += dropped_;
  const std::size_t first = index == 0 ? 0 : recordEnds_[index - 1];
  const FieldEnd* ends = fields_.Ends();
  const std::size_t start = first == 0 ? 0 : ends[first - 1];
  return {fields_.Text().data(), ends + first, recordEnds_[index] - first, start};
}

void TableRows::Reserve(std::size_t fileSize) {
  // Most tables have fields of more than a few bytes; room that stays unused costs no
  // memory, and a table of shorter fields only grows the field ends.
  fields_.Reserve(fileSize + kEscapePadding, fileSize / 8 + 16);
}

std::size_t TableRows::Read(std::istream& input) {
  const std::size_t fields = CSVReader::AppendRecord(input, fields_);
  if (fields == 0) return 0;
  recordEnds_.push_back(fields_.size());
  const RecordView record = (*this)[size() - 1];
  for (std::size_t k = 0; k < fields; ++k) growth_ += EscapeGrowthOf(record[k]);
  columns_ = std::max(columns_, fields);
  return fields;
}

const char* TableRows::ReadMany(const char* begin, const char* limit, const char* end) {
  const std::size_t before = recordEnds_.size();
  CSVReader::Tally tally;
  const char* const reached =
      CSVReader::AppendRecords(begin, limit, end, fields_, recordEnds_, tally);
  growth_ += EscapeGrowthOf(tally.ampersands, tally.angles, tally.quotes, tally.lineBreaks);
  CountColumns(before);
  return reached;
}

void TableRows::CountColumns(std::size_t from) {
  for (std::size_t i = from; i < recordEnds_.size(); ++i)
    columns_ = std::max(columns_, recordEnds_[i] - (i == 0 ? 0 : recordEnds_[i - 1]));
}

void TableRows::DropFront(std::size_t rows) {
  for (std::size_t j = 0; j < rows; ++j) {
    const RecordView record = (*this)[j];
    for (std::size_t k = 0; k < record.size(); ++k) growth_ -= EscapeGrowthOf(record[k]);
  }
  dropped_ += rows;
  columns_ = 0;
  CountColumns(dropped_);
}

void TableRows::Seal() {
  fields_.Reserve(kEscapePadding, 0);
  std::memset(fields_.TextEnd(), 0, kEscapePadding);
}

MyGridLoom::MyGridLoom(const std::string& csvPath, const std::string& iniPath) {
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
  const std::string path = NativePath(csvPath);
  FileInput first;
  if (!first.Open(path, 0)) return false;

  // A large file is read in two parts side by side, the second from a line end near its
  // middle, each through a stream of its own.
  std::error_code unknown;
  const auto fileSize = std::filesystem::file_size(path, unknown);
  const std::size_t size = unknown ? 0 : static_cast<std::size_t>(fileSize);
  FileInput second;
  std::size_t cut = 0;
  if (PartsFor(size) > 1 && second.Open(path, size / 2)) cut = FindCut(second, size);
  loadedRows = ReadRows(first, cut > 0 ? &second : nullptr, cut, size);
  return true;
}

void MyGridLoom::Render(const std::vector<TableRows>& parts, HtmlSink* sink,
                        std::size_t blockSize) {
  std::size_t rowCount = 0, columnCount = 0;
  std::vector<std::size_t> firstRows;  // the index of each part's first row in the table
  for (const TableRows& part : parts) {
    firstRows.push_back(rowCount);
    rowCount += part.size();
    columnCount = std::max(columnCount, part.Columns());
  }

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
  const auto rowBound = [&](const RecordView& record, Kind kind) {  // at least its size
    // Escaping makes text at most six times as long (a double quote: &quot;).
    const std::size_t text =
        record.empty() ? 0 : static_cast<std::size_t>(record[record.size() - 1].end() -
                                                       record[0].begin());
    return rowSizes[kind] + 6 * text;
  };
  const auto writeRow = [&](char* out, const RecordView& record, const Pieces& p) {
    out = p.first.Write(out);
    const std::size_t fields = std::min(record.size(), columnCount);  // then empty cells
    const char* begin = record.Begin();
    for (std::size_t k = 0; k < fields; ++k) {
      const char* const end = record.End(k);
      out = p.At(k + 1).Write(WriteEscaped(out, begin, static_cast<std::size_t>(end - begin)));
      begin = end;
    }
    for (std::size_t k = fields; k < columnCount; ++k) out = p.At(k + 1).Write(out);
    return out;
  };
  const Tag tableEnd(tableClose);

  // Each part's exact size first, so that the parts are written once, in place, side by side.
  // Every row is a plain one but perhaps the table's first and last.
  std::vector<std::size_t> sizes(parts.size());
  for (std::size_t i = 0; i < parts.size(); ++i) {
    const TableRows& rows = parts[i];
    std::size_t size = rows.Text().size() + rows.EscapeGrowth() + rows.size() * rowSizes[kPlainRow];
    const std::size_t ends[] = {0, rowCount - 1};
    for (std::size_t k = 0; k < (rowCount > 1 ? 2 : 1); ++k) {
      if (ends[k] >= firstRows[i] && ends[k] - firstRows[i] < rows.size())
        size += rowSizes[kindOf(ends[k])] - rowSizes[kPlainRow];  // (modulo: the sum is right)
    }
    if (i == 0) size += tableOpen.size();
    if (i + 1 == parts.size()) size += tableEnd.size();
    sizes[i] = size;
  }
  if (sink != nullptr) {
    std::vector<HtmlPart> announced;
    for (std::size_t i = 0; i < parts.size(); ++i) announced.push_back({sizes[i], parts[i].Text()});
    if (!sink->Start(announced)) return;
    RunParts(parts.size(), [&](std::size_t i) {
      // Rows are written into a buffer that the sink empties, as far as it takes the text.
      std::size_t capacity = std::max<std::size_t>(blockSize, 16), used = 0;
      auto buffer = std::make_unique_for_overwrite<char[]>(capacity + 16);
      const auto room = [&](std::size_t needed) {  // at the end of the buffer, room for needed
        if (used + needed <= capacity) return;
        const std::size_t taken = sink->Write(i, {buffer.get(), used}, false);
        std::memmove(buffer.get(), buffer.get() + taken, used - taken);
        used -= taken;
        if (used + needed <= capacity) return;
        capacity = std::max(2 * capacity, used + needed);
        auto larger = std::make_unique_for_overwrite<char[]>(capacity + 16);
        std::memcpy(larger.get(), buffer.get(), used);
        buffer = std::move(larger);
      };
      const TableRows& rows = parts[i];
      if (i == 0) {
        room(tableOpen.size());
        used += tableOpen.copy(buffer.get() + used, tableOpen.size());
      }
      for (std::size_t j = 0; j < rows.size(); ++j) {
        const Kind kind = kindOf(firstRows[i] + j);
        room(rowBound(rows[j], kind));
        used = static_cast<std::size_t>(writeRow(buffer.get() + used, rows[j], kinds[kind]) -
                                        buffer.get());
      }
      if (i + 1 == parts.size()) {
        room(tableEnd.size());
        used = static_cast<std::size_t>(tableEnd.Write(buffer.get() + used) - buffer.get());
      }
      sink->Write(i, {buffer.get(), used}, true);
    });
    return;
  }

  std::size_t total = 0;
  for (const std::size_t size : sizes) total += size;
  html = std::make_unique_for_overwrite<char[]>(total + 16);  // 16: the block copies' scratch

  RunParts(parts.size(), [&](std::size_t i) {
    char* out = html.get();
    for (std::size_t before = 0; before < i; ++before) out += sizes[before];
    char* const end = out + sizes[i];
    Prefault(out, sizes[i]);
    const TableRows& rows = parts[i];
    if (i == 0) out = std::copy(tableOpen.begin(), tableOpen.end(), out);
    // Block copies write up to 16 bytes past their end: where another part follows, the rows
    // that could reach into it go through scratch memory.
    const bool lastPart = i + 1 == parts.size();
    std::size_t j = 0;
    for (; j < rows.size(); ++j) {
      const Kind kind = kindOf(firstRows[i] + j);
      if (!lastPart && rowBound(rows[j], kind) + 16 > static_cast<std::size_t>(end - out)) break;
      out = writeRow(out, rows[j], kinds[kind]);
    }
    if (j < rows.size()) {
      std::size_t room = 16;
      for (std::size_t k = j; k < rows.size(); ++k)
        room += rowBound(rows[k], kindOf(firstRows[i] + k));
      const auto scratch = std::make_unique_for_overwrite<char[]>(room);
      char* written = scratch.get();
      for (; j < rows.size(); ++j)
        written = writeRow(written, rows[j], kinds[kindOf(firstRows[i] + j)]);
      out = std::copy(scratch.get(), written, out);
    }
    if (lastPart) out = tableEnd.Write(out);
    assert(out == end);
  });
  html[total] = '\0';
  htmlSize = total;
}

std::string MyGridLoom::Escape(const std::string& text) {
  std::string padded = text;
  padded.append(kEscapePadding, '\0');
  std::string escaped(text.size() + EscapeGrowthOf(text) + kEscapePadding, '\0');
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
