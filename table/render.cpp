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
// writing of a row are lambdas over the same per-table state, which the two ways of writing
// (into a sink, or in place) share; as functions of their own they would pass it all along,
// and the row writer must stay inlined into both loops.
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

}  // namespace gridloom
