#include "table/Mygridloom.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <istream>
#include <limits>
#include <memory>
#include <stdexcept>
#include <streambuf>
#include <utility>
#include <vector>

#include "gridloom/input_file.h"
#include "gridloom/winapi.h"
#include "table/html_escape.h"
#include "table/parallel.h"
#include "base/sizes.h"

namespace gridloom {
namespace {

// A tag copied in whole 16-byte blocks: its bytes padded with NULs.
class Tag {
 public:
  explicit Tag(const std::string& text) : size_(text.size()), padded_(text) {
    padded_.resize((size_ + 15) / 16 * 16 + 16, '\0');
    high_ = static_cast<std::size_t>(std::count_if(
        text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) >= 0x80; }));
  }
  std::size_t size() const { return size_; }
  std::size_t HighBytes() const { return high_; }  // of 0x80 and above
  char* Write(char* out) const {
    std::memcpy(out, padded_.data(), 16);
    for (std::size_t i = 16; i < size_; i += 16) std::memcpy(out + i, padded_.data() + i, 16);
    return out + size_;
  }

 private:
  std::size_t size_;
  std::string padded_;
  std::size_t high_ = 0;
};

constexpr std::size_t kFileBufferSize = 1 << 18;
// Rows longer than this are measured for the room they take when rendered, not bounded.
constexpr std::size_t kMeasuredRow = std::size_t{1} << 20;

// The CSV data from an offset on, as a stream buffer that tells where in the data it stands.
class DataInput : public std::streambuf {
 public:
  std::size_t Position() const { return start_ + static_cast<std::size_t>(gptr() - eback()); }
  bool AtEnd() { return traits_type::eq_int_type(sgetc(), traits_type::eof()); }
  // Takes the UTF-8 byte order mark if the data starts with it.
  bool SkipUtf8Mark() {
    if (AtEnd() || egptr() - gptr() < 3 || std::memcmp(gptr(), "\xEF\xBB\xBF", 3) != 0)
      return false;
    gbump(3);
    return true;
  }
  // Reads the whole records that the get area holds and that start before stop into rows,
  // many at a time.
  void ReadMany(TableRows& rows, std::size_t stop, Isa isa, const LeadBytes& leads) {
    const char* const next = gptr();
    const std::size_t left = stop - Position(), held = static_cast<std::size_t>(egptr() - next);
    const char* const reached =
        rows.ReadMany(next, next + std::min(left, held), egptr(), isa, leads);
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

// A file read in large blocks, as stored (the reader sees CR LF as they are). A read error
// ends the data.
class FileInput final : public DataInput {
 public:
  // False when the file cannot be opened, or read from the offset.
  bool Open(const std::string& path, std::size_t offset) {
    if (!file_.Open(path) || (offset > 0 && !file_.Seek(offset))) return false;
    buffer_ = std::make_unique_for_overwrite<char[]>(kFileBufferSize);
    setg(buffer_.get(), buffer_.get(), buffer_.get());
    start_ = offset;
    return true;
  }
  // The file's size, when it has one (a regular file); 0 otherwise.
  std::size_t Size() const {
    const auto size = file_.Size();
    return !size ? 0 : *size > SIZE_MAX ? SIZE_MAX : static_cast<std::size_t>(*size);
  }

 protected:
  int_type underflow() override {
    if (gptr() < egptr()) return traits_type::to_int_type(*gptr());
    start_ += static_cast<std::size_t>(egptr() - eback());
    const std::size_t got = file_.Read(buffer_.get(), kFileBufferSize);
    setg(buffer_.get(), buffer_.get(), buffer_.get() + got);
    return got > 0 ? traits_type::to_int_type(*gptr()) : traits_type::eof();
  }

 private:
  InputFile file_;
  std::unique_ptr<char[]> buffer_;
};

// Reads records from input into rows until its position reaches `stop` (or goes past it),
// and answers that position. ended: an empty line or the end of the data came first. bytes:
// about how many bytes are left to read. starts, if not null, takes the position of each
// record as it begins, up to kProbedStarts of them.
constexpr std::size_t kProbedStarts = 1024;
std::size_t ReadPart(TableRows& rows, DataInput& input, std::size_t stop, std::size_t bytes,
                     bool& ended, Isa isa, const LeadBytes& leads,
                     std::vector<std::size_t>* starts = nullptr) {
  std::istream stream(&input);
  rows.Reserve(bytes);
  ended = false;
  while (input.Position() < stop) {
    if (starts != nullptr && starts->size() < kProbedStarts) {
      starts->push_back(input.Position());
    } else {
      input.ReadMany(rows, stop, isa, leads);
      if (input.Position() >= stop) break;
    }
    // Once no byte is left no record is read, so a final line end adds no row.
    if (input.AtEnd() || rows.Read(stream, isa, leads) == 0) {
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
                                std::size_t size, Isa isa, const LeadBytes& leads) {
  if (second == nullptr) cut = 0;
  std::vector<TableRows> parts(cut > 0 ? 2 : 1);
  constexpr std::size_t kAll = std::numeric_limits<std::size_t>::max();
  std::size_t reached = 0;
  bool ended[2] = {false, false};
  std::vector<std::size_t> starts;  // of the second part's first records
  if (cut > 0) starts.reserve(kProbedStarts);
  RunParts(parts.size(), [&](std::size_t i) {
    if (i == 0) {
      reached = ReadPart(parts[0], first, cut > 0 ? cut : kAll, cut > 0 ? cut : size, ended[0],
                         isa, leads);
    } else {
      ReadPart(parts[1], *second, kAll, size > cut ? size - cut : 0, ended[1], isa, leads,
               &starts);
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
      parts[1].DropFront(static_cast<std::size_t>(next - starts.begin()), leads);
      return parts;
    }
    reached = ReadPart(parts[0], first, reached + 1, 0, ended[0], isa, leads);
  }
  parts.pop_back();
  if (!ended[0])
    ReadPart(parts[0], first, kAll, size > reached ? size - reached : 0, ended[0], isa, leads);
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

std::vector<TableRows> ReadRows(std::string_view data, std::size_t cut, Isa isa,
                                const LeadBytes& leads) {
  if (cut >= data.size()) cut = 0;
  MemoryInput first(data, 0), second(data, cut);
  return ReadRows(first, cut > 0 ? &second : nullptr, cut, data.size(), isa, leads);
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
  fields_.Reserve(SizeAdd(fileSize, kEscapePadding), fileSize / 8 + 16);
}

std::size_t TableRows::Read(std::istream& input, Isa isa, const LeadBytes& leads) {
  const std::size_t fields = CSVReader::AppendRecord(input, fields_, isa);
  if (fields == 0) return 0;
  recordEnds_.push_back(fields_.size());
  const RecordView record = (*this)[size() - 1];
  for (std::size_t k = 0; k < fields; ++k) {
    growth_ += EscapeGrowthOf(record[k], leads);
    if (leads.Any()) loneLeads_ += LoneLeadsOf(record[k], leads);
  }
  columns_ = std::max(columns_, fields);
  return fields;
}

const char* TableRows::ReadMany(const char* begin, const char* limit, const char* end,
                                Isa isa, const LeadBytes& leads) {
  const std::size_t before = recordEnds_.size();
  CSVReader::Tally tally;
  const char* const reached =
      CSVReader::AppendRecords(begin, limit, end, fields_, recordEnds_, tally, isa, leads);
  growth_ += EscapeGrowthOf(tally.ampersands, tally.angles, tally.quotes, tally.lineBreaks,
                            tally.nuls + tally.loneLeads);
  loneLeads_ += tally.loneLeads;
  CountColumns(before);
  return reached;
}

void TableRows::CountColumns(std::size_t from) {
  for (std::size_t i = from; i < recordEnds_.size(); ++i)
    columns_ = std::max(columns_, recordEnds_[i] - (i == 0 ? 0 : recordEnds_[i - 1]));
}

void TableRows::DropFront(std::size_t rows, const LeadBytes& leads) {
  for (std::size_t j = 0; j < rows; ++j) {
    const RecordView record = (*this)[j];
    for (std::size_t k = 0; k < record.size(); ++k) {
      growth_ -= EscapeGrowthOf(record[k], leads);
      if (leads.Any()) loneLeads_ -= LoneLeadsOf(record[k], leads);
    }
  }
  dropped_ += rows;
  columns_ = 0;
  CountColumns(dropped_);
}

void TableRows::Seal() {
  fields_.Reserve(kEscapePadding, 0);
  std::memset(fields_.TextEnd(), 0, kEscapePadding);
}

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

void MyGridLoom::Render(const std::vector<TableRows>& parts, HtmlSink* sink,
                        std::size_t blockSize) {
  // Lead bytes are looked for only where the reading found some without a trail byte:
  // proper text has none.
  std::size_t loneLeads = 0;
  for (const TableRows& part : parts) loneLeads += part.LoneLeads();
  const bool dbcs = leads.Any() && loneLeads > 0;
  if (EscapesWithSse2(isa)) {
    dbcs ? RenderWith<true, true>(parts, sink, blockSize)
         : RenderWith<true, false>(parts, sink, blockSize);
  } else {
    dbcs ? RenderWith<false, true>(parts, sink, blockSize)
         : RenderWith<false, false>(parts, sink, blockSize);
  }
}

// Every size below is worked out with SizeAdd and SizeMul: a table whose HTML does not fit the
// build's size_t (a few MB of CSV data with long tags can ask for more than 4 GB in a 32-bit
// build) throws TooLarge rather than wrap around.
template <bool kSimd, bool kDbcs>
void MyGridLoom::RenderWith(const std::vector<TableRows>& parts, HtmlSink* sink,
                            std::size_t blockSize) {
  const EscapeScan scan(leads);
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
  // The cells of a row take their tags by where they stand (CellSection): rows differ only in
  // being the table's first or last.
  enum Kind { kPlainRow, kFirstRow, kLastRow };
  const auto piece = [&](Kind kind, std::size_t k) {
    const bool firstRow = kind == kFirstRow, lastRow = kind == kLastRow || rowCount == 1;
    const auto cell = [&](std::size_t column) -> const TagSection& {
      return kTagSections[CellSection(firstRow, lastRow, column == 0, column + 1 == columnCount)];
    };
    return Tag((k == 0 ? tableRowOpen : this->*cell(k - 1).close) +
               (k == columnCount ? tableRowClose : this->*cell(k).open));
  };
  struct Pieces {
    Tag first, second, between, beforeLast, last;
    std::size_t columns;
    const Tag& At(std::size_t k) const {  // piece k, for k from 0 to columns
      if (k >= 2 && k + 2 <= columns) return between;  // the common case first
      return k == 0 ? first : k == columns ? last : k == 1 ? second : beforeLast;
    }
    // The sum of a measure of the pieces of a row: their size, or their high bytes.
    std::size_t Sum(std::size_t (Tag::*measure)() const) const {
      if (columns >= 4) {  // first, second, columns - 3 between, beforeLast, last
        return SizeAdd(SizeAdd(SizeAdd((first.*measure)(), (second.*measure)()),
                               SizeMul((between.*measure)(), columns - 3)),
                       SizeAdd((beforeLast.*measure)(), (last.*measure)()));
      }
      std::size_t sum = 0;
      for (std::size_t k = 0; k <= columns; ++k) sum = SizeAdd(sum, (At(k).*measure)());
      return sum;
    }
  };
  const std::size_t c = columnCount;
  const auto pieces = [&](Kind kind) {
    return Pieces{piece(kind, 0), piece(kind, c > 0 ? 1 : 0), piece(kind, c > 3 ? 2 : 0),
                  piece(kind, c > 1 ? c - 1 : 0), piece(kind, c), c};
  };
  const Pieces kinds[3] = {pieces(kPlainRow), pieces(kFirstRow), pieces(kLastRow)};
  const auto kindOf = [&](std::size_t j) {
    return j == 0 ? kFirstRow : j == rowCount - 1 ? kLastRow : kPlainRow;
  };
  std::size_t rowSizes[3], rowHighs[3];
  for (int kind = 0; kind < 3; ++kind) {
    rowSizes[kind] = kinds[kind].Sum(&Tag::size);
    rowHighs[kind] = kinds[kind].Sum(&Tag::HighBytes);
  }
  const auto rowBound = [&](const RecordView& record, Kind kind) {  // at least its size
    // Escaping makes text at most eight times as long (a NUL: &#xFFFD;). A long row is
    // measured instead: eight times a field of 200 MB is more than a 32-bit process can hold.
    const std::size_t text =
        record.empty() ? 0 : static_cast<std::size_t>(record[record.size() - 1].end() -
                                                       record[0].begin());
    if (text <= kMeasuredRow) return SizeAdd(rowSizes[kind], SizeMul(8, text));
    std::size_t size = SizeAdd(rowSizes[kind], kEscapePadding);
    for (std::size_t k = 0; k < record.size(); ++k) {
      size = SizeAdd(size, SizeAdd(record[k].size(), EscapeGrowthOf(record[k], leads)));
    }
    return size;
  };
  const auto writeRow = [&](char* out, const RecordView& record, const Pieces& p) {
    out = p.first.Write(out);
    const std::size_t fields = std::min(record.size(), columnCount);  // then empty cells
    const char* begin = record.Begin();
    for (std::size_t k = 0; k < fields; ++k) {
      const char* const end = record.End(k);
      out = p.At(k + 1).Write(
          WriteEscaped<kSimd, kDbcs>(out, begin, static_cast<std::size_t>(end - begin), scan));
      begin = end;
    }
    for (std::size_t k = fields; k < columnCount; ++k) out = p.At(k + 1).Write(out);
    return out;
  };
  const Tag tableStart(tableOpen), tableEnd(tableClose);

  // Each part's exact size first, so that the parts are written once, in place, side by side.
  // Every row is a plain one but perhaps the table's first and last.
  std::vector<HtmlPart> announced(parts.size());
  for (std::size_t i = 0; i < parts.size(); ++i) {
    const TableRows& rows = parts[i];
    HtmlPart& part = announced[i];
    part.text = rows.Text();
    part.size = SizeAdd(SizeAdd(rows.Text().size(), rows.EscapeGrowth()),
                        SizeMul(rows.size(), rowSizes[kPlainRow]));
    part.tagHighBytes = SizeMul(rows.size(), rowHighs[kPlainRow]);
    const std::size_t ends[] = {0, rowCount - 1};
    for (std::size_t k = 0; k < (rowCount > 1 ? 2 : 1); ++k) {
      if (ends[k] >= firstRows[i] && ends[k] - firstRows[i] < rows.size()) {
        // That row was counted as a plain one above.
        const Kind kind = kindOf(ends[k]);
        part.size = SizeAdd(part.size, rowSizes[kind]) - rowSizes[kPlainRow];
        part.tagHighBytes = SizeAdd(part.tagHighBytes, rowHighs[kind]) - rowHighs[kPlainRow];
      }
    }
    if (i == 0) {
      part.size = SizeAdd(part.size, tableStart.size());
      part.tagHighBytes += tableStart.HighBytes();
    }
    if (i + 1 == parts.size()) {
      part.size = SizeAdd(part.size, tableEnd.size());
      part.tagHighBytes += tableEnd.HighBytes();
    }
  }
  if (sink != nullptr) {
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
        capacity = std::max(SizeMul(2, capacity), SizeAdd(used, needed));
        auto larger = std::make_unique_for_overwrite<char[]>(SizeAdd(capacity, 16));
        std::memcpy(larger.get(), buffer.get(), used);
        buffer = std::move(larger);
      };
      const TableRows& rows = parts[i];
      if (i == 0) {
        room(tableStart.size());
        used = static_cast<std::size_t>(tableStart.Write(buffer.get() + used) - buffer.get());
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
  for (const HtmlPart& part : announced) total = SizeAdd(total, part.size);
  // 16: the block copies' scratch after the end.
  auto text = std::make_unique_for_overwrite<char[]>(SizeAdd(total, 16));

  // The sizes are checked as the rows are written, in every build: a row is written only where
  // its bound fits, so that sizes that disagree with the rows fail the table rather than write
  // past its end.
  const auto mismatch = [] { throw std::logic_error("the table's HTML is not the size worked out"); };
  RunParts(parts.size(), [&](std::size_t i) {
    char* out = text.get();
    for (std::size_t before = 0; before < i; ++before) out += announced[before].size;
    char* const end = out + announced[i].size;
    Prefault(out, announced[i].size);
    const TableRows& rows = parts[i];
    if (i == 0) {
      if (tableOpen.size() > announced[i].size) mismatch();
      out = std::copy(tableOpen.begin(), tableOpen.end(), out);  // no scratch past it here
    }
    // Block copies write up to 16 bytes past their end. A row is written in place where its
    // bound leaves that much room before the next part (after the last part there are 16
    // bytes of scratch, and the table's end tag); the rows after the first that could reach
    // further go through scratch memory.
    const bool lastPart = i + 1 == parts.size();
    const std::size_t reserve = lastPart ? tableEnd.size() : 16;
    std::size_t j = 0;
    for (; j < rows.size(); ++j) {
      const Kind kind = kindOf(firstRows[i] + j);
      const auto room = static_cast<std::size_t>(end - out);
      if (room < reserve || rowBound(rows[j], kind) > room - reserve) break;
      out = writeRow(out, rows[j], kinds[kind]);
    }
    if (j < rows.size()) {
      std::size_t room = 16;
      for (std::size_t k = j; k < rows.size(); ++k)
        room = SizeAdd(room, rowBound(rows[k], kindOf(firstRows[i] + k)));
      const auto scratch = std::make_unique_for_overwrite<char[]>(room);
      char* written = scratch.get();
      for (; j < rows.size(); ++j)
        written = writeRow(written, rows[j], kinds[kindOf(firstRows[i] + j)]);
      if (written - scratch.get() > end - out) mismatch();
      out = std::copy(scratch.get(), written, out);
    }
    if (lastPart) {
      if (static_cast<std::size_t>(end - out) < tableEnd.size()) mismatch();
      out = tableEnd.Write(out);
    }
    if (out != end) mismatch();
  });
  text[total] = '\0';
  html = std::move(text);
  htmlSize = total;
}

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
