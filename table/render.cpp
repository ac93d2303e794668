// The rendering of a table's rows as HTML: each part's exact size first, then the parts side
// by side, in place into the table's text or block by block into a sink.
#include <algorithm>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <utility>
#include <vector>

#include "base/parallel.h"
#include "base/sizes.h"
#include "table/Mygridloom.h"
#include "table/html_escape.h"

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

// Rows longer than this are measured for the room they take when rendered, not bounded.
constexpr std::size_t kMeasuredRow = std::size_t{1} << 20;


// Where the HTML of a part goes as it is written. Put(bound, write) has write fill room for at
// most bound bytes, with 16 bytes of scratch after them for block copies; Finish ends the
// part.

// Into a sink: rows are written into a buffer that the sink empties, as far as it takes the
// text.
class SinkOutput {
 public:
  SinkOutput(HtmlSink& sink, std::size_t part, std::size_t blockSize)
      : sink_(sink), part_(part), capacity_(std::max<std::size_t>(blockSize, 16)),
        buffer_(std::make_unique_for_overwrite<char[]>(capacity_ + 16)) {}

  template <class Write>
  void Put(std::size_t bound, const Write& write) {
    if (used_ + bound > capacity_) Room(bound);
    used_ = static_cast<std::size_t>(write(buffer_.get() + used_) - buffer_.get());
  }
  void Finish() { sink_.Write(part_, {buffer_.get(), used_}, true); }

 private:
  // Room for needed bytes at the end of the buffer: what the sink takes goes, and the buffer
  // grows if that is not enough.
  void Room(std::size_t needed) {
    const std::size_t taken = sink_.Write(part_, {buffer_.get(), used_}, false);
    std::memmove(buffer_.get(), buffer_.get() + taken, used_ - taken);
    used_ -= taken;
    if (used_ + needed <= capacity_) return;
    capacity_ = std::max(SizeMul(2, capacity_), SizeAdd(used_, needed));
    auto larger = std::make_unique_for_overwrite<char[]>(SizeAdd(capacity_, 16));
    std::memcpy(larger.get(), buffer_.get(), used_);
    buffer_ = std::move(larger);
  }

  HtmlSink& sink_;
  std::size_t part_, capacity_, used_ = 0;
  std::unique_ptr<char[]> buffer_;
};

// In place: into the part's stretch [out, end) of the table's text, whose size was worked out
// beforehand. A row is written in place where its bound leaves reserve bytes before the end
// (the scratch of block copies, which must not reach the next part); from the first that
// does not, the rest go through scratch memory and are copied at the end. The sizes are
// checked in every build: where they disagree with the rows the table fails, rather than
// write past its end.
class InPlaceOutput {
 public:
  InPlaceOutput(char* out, char* end, std::size_t reserve)
      : out_(out), end_(end), reserve_(reserve) {}

  template <class Write>
  void Put(std::size_t bound, const Write& write) {
    const auto room = static_cast<std::size_t>(end_ - out_);
    if (scratch_ == nullptr && room >= reserve_ && bound <= room - reserve_) {
      out_ = write(out_);
      return;
    }
    if (scratch_ == nullptr || used_ + bound > capacity_) Grow(bound);
    used_ = static_cast<std::size_t>(write(scratch_.get() + used_) - scratch_.get());
  }
  void Finish() {
    if (used_ > static_cast<std::size_t>(end_ - out_)) Mismatch();
    if (used_ > 0) out_ = std::copy(scratch_.get(), scratch_.get() + used_, out_);
    if (out_ != end_) Mismatch();
  }

 private:
  void Grow(std::size_t needed) {
    capacity_ = std::max({SizeMul(2, capacity_), SizeAdd(used_, needed),
                          static_cast<std::size_t>(end_ - out_)});
    auto larger = std::make_unique_for_overwrite<char[]>(SizeAdd(capacity_, 16));
    if (used_ > 0) std::memcpy(larger.get(), scratch_.get(), used_);
    scratch_ = std::move(larger);
  }
  [[noreturn]] static void Mismatch() {
    throw std::logic_error("the table's HTML is not the size worked out");
  }

  char* out_;
  char* const end_;
  const std::size_t reserve_;
  std::unique_ptr<char[]> scratch_;
  std::size_t capacity_ = 0, used_ = 0;
};

}  // namespace

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
// One function, longer than most: the row pieces, the sizes worked out from them and the
// writing of a row are lambdas over the same per-table state, which the one loop that writes
// a part uses with either output; as functions of their own they would pass it all along,
// and the row writer must stay inlined into that loop.
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
    // Escaping makes text at most kMostEscapedBytes (8) times as long (a NUL: &#xFFFD;). A
    // long row is measured instead: eight times a field of 200 MB is more than a 32-bit
    // process can hold.
    const std::size_t text =
        record.empty() ? 0 : static_cast<std::size_t>(record[record.size() - 1].end() -
                                                       record[0].begin());
    if (text <= kMeasuredRow)
      return SizeAdd(rowSizes[kind], SizeMul(escape_detail::kMostEscapedBytes, text));
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
  // One loop writes a part, whichever way its text goes (SinkOutput, InPlaceOutput).
  const auto writePart = [&](auto& output, std::size_t i) {
    const TableRows& rows = parts[i];
    if (i == 0) output.Put(tableStart.size(), [&](char* out) { return tableStart.Write(out); });
    for (std::size_t j = 0; j < rows.size(); ++j) {
      const Kind kind = kindOf(firstRows[i] + j);
      output.Put(rowBound(rows[j], kind),
                 [&](char* out) { return writeRow(out, rows[j], kinds[kind]); });
    }
    if (i + 1 == parts.size())
      output.Put(tableEnd.size(), [&](char* out) { return tableEnd.Write(out); });
    output.Finish();
  };
  if (sink != nullptr) {
    if (!sink->Start(announced)) return;
    RunParts(parts.size(), [&](std::size_t i) {
      SinkOutput output(*sink, i, blockSize);
      writePart(output, i);
    });
    return;
  }

  std::size_t total = 0;
  for (const HtmlPart& part : announced) total = SizeAdd(total, part.size);
  // 16: the block copies' scratch after the end.
  auto text = std::make_unique_for_overwrite<char[]>(SizeAdd(total, 16));
  RunParts(parts.size(), [&](std::size_t i) {
    char* out = text.get();
    for (std::size_t before = 0; before < i; ++before) out += announced[before].size;
    Prefault(out, announced[i].size);
    // Before the next part, 16 bytes are kept for the block copies' scratch; after the last
    // part the text has 16 bytes of scratch of its own.
    InPlaceOutput output(out, out + announced[i].size, i + 1 == parts.size() ? 0 : 16);
    writePart(output, i);
  });
  text[total] = '\0';
  html = std::move(text);
  htmlSize = total;
}

}  // namespace gridloom
