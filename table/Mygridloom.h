// MyGridLoom is the table of one inline call. Its constructor reads the fourteen tags from the
// INI file (tag_settings.cpp) and loads the CSV file into rows (Mygridloom.cpp, read_rows.h);
// the rows are rendered as an HTML table, the text of every cell escaped, when the HTML is
// first asked for: whole, or block by block (render.cpp).
#pragma once

#include <array>
#include <cstddef>
#include <iosfwd>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "base/isa.h"
#include "base/lead_bytes.h"
#include "table/table_rows.h"

namespace gridloom {

// A part of a table's HTML, as a sink learns of it before its blocks.
struct HtmlPart {
  std::size_t size = 0;   // in bytes
  std::string_view text;  // the cell text in it, unescaped; the rest is tags and escapes
  std::size_t tagHighBytes = 0;  // the bytes of 0x80 and above in its tags
};

// Takes a table's HTML in blocks, part by part: the blocks of a part come in order, and the
// parts side by side, each on a thread of its own.
class HtmlSink {
 public:
  // Before any block: the parts, in order. False: send no blocks.
  virtual bool Start(const std::vector<HtmlPart>& parts) = 0;
  // The next block of a part. Answers how many of its bytes, from the start, it took; the rest
  // starts the part's next block, with more after it. The last block must be taken whole.
  virtual std::size_t Write(std::size_t part, std::string_view block, bool last) = 0;

 protected:
  ~HtmlSink() = default;
};

class MyGridLoom;

// Where the tags of a section of the INI file go.
enum class TagPlace : unsigned char {
  kTable,        // around the whole table
  kRow,          // around every row
  kFirstRow,     // around each cell of the first row
  kLastRow,      // around each cell of the last row
  kFirstColumn,  // around the first cell of a row
  kLastColumn,   // around the last cell of a row
  kCell,         // around every other cell
};

// A section of the INI file: its name, the members that hold its open and close tags, the
// flag that says its tags are in use (set when its open tag is not empty; none: always in
// use), their defaults, and their place. A cell takes the tags of the first cell section in
// MyGridLoom::kTagSections whose flag is set and whose place it is in.
struct TagSection {
  const char* name;
  std::string MyGridLoom::*open;
  std::string MyGridLoom::*close;
  bool MyGridLoom::*use;
  const char* openDefault;
  const char* closeDefault;
  TagPlace place;
};

class MyGridLoom {
 public:
  // The seven sections of the INI file, in the order their members are declared; a new key
  // is a line here and its two members (and flag).
  static const std::array<TagSection, 7> kTagSections;
  static constexpr std::size_t kTableSection = 0, kRowSection = 1;

  // The size of the blocks of WriteHtml, unless a row needs more.
  static constexpr std::size_t kHtmlBlock = std::size_t{1} << 16;

  // isa: the instructions to read and render with (tests choose; by default the best).
  MyGridLoom(const std::string& csvPath, const std::string& iniPath, Isa isa = Isa::kBest);

  bool IsCreated() const { return created; }
  // The code page of the HTML text: CP_UTF8 for a CSV file that starts with the UTF-8 byte
  // order mark (its tags are then converted to UTF-8 too), else the ANSI code page (CP_ACP).
  unsigned HtmlCodePage() const;
  // The HTML text, NUL-terminated; empty text when the table was not created.
  const char* GetHtml();
  // The HTML text in blocks of about blockSize bytes, rendered straight into them; nothing
  // when the table was not created.
  void WriteHtml(HtmlSink& sink, std::size_t blockSize = kHtmlBlock);

  // Cell text for HTML: & < > and the double quote become character references, and CR LF
  // becomes <br>, as the five replacements in that order would do.
  static std::string Escape(const std::string& text);
  static void ReplaceAll(std::string& text, const char* pattern, const char* replacement);
  static void ReplaceAll(std::string& text, const std::string& pattern,
                         const std::string& replacement);

  // The index in kTagSections of the tags of a cell, by where it stands.
  std::size_t CellSection(bool firstRow, bool lastRow, bool firstColumn,
                          bool lastColumn) const;
  // The lead bytes of the table's code page, which its rows are read with (none for UTF-8).
  const LeadBytes& Leads() const { return leads; }
  // The rows of all parts, in order, as the HTML table with this table's tags: into the text
  // of GetHtml and Html, or with a sink, block by block into the sink. GetHtml and WriteHtml
  // render the loaded rows with it; tests render rows of their own.
  void Render(const std::vector<TableRows>& parts, HtmlSink* sink = nullptr,
              std::size_t blockSize = kHtmlBlock);
  // The HTML text rendered last, without its NUL; empty before any.
  std::string_view Html() const { return {html.get(), htmlSize}; }

 private:
  void LoadTagSettings(const std::string& iniPath);
  bool CreateTable();
  template <bool kSimd, bool kDbcs>
  void RenderWith(const std::vector<TableRows>& parts, HtmlSink* sink, std::size_t blockSize);
  // The tags in UTF-8, for a table whose CSV file is UTF-8.
  void TagsToUtf8();

  std::string csvPath;
  std::vector<TableRows> loadedRows;  // the table, until its HTML is rendered whole
  std::unique_ptr<char[]> html;  // NUL-terminated; null before the table is rendered
  std::size_t htmlSize = 0;
  bool created = false;
  Isa isa = Isa::kBest;
  bool utf8 = false;  // the CSV file starts with the UTF-8 byte order mark
  LeadBytes leads;    // of the ANSI code page, for a table that is not UTF-8

  std::string tableOpen, tableRowOpen, tdRow1Open, tdRowXOpen, tdCol1Open, tdColXOpen,
      tdEtcOpen;
  std::string tableClose, tableRowClose, tdRow1Close, tdRowXClose, tdCol1Close, tdColXClose,
      tdEtcClose;
  bool useTdRow1 = false;
  bool useTdRowX = false;
  bool useTdCol1 = false;
  bool useTdColX = false;
};

}  // namespace gridloom
