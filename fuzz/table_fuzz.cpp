// The whole table from arbitrary CSV bytes and either arbitrary INI bytes or an INI file of
// tags made from the input. The HTML must be exactly what the reference loader and renderer
// give for the tags the table read, with code page 932's lead bytes (a file with the UTF-8
// byte order mark: UTF-8, none). With made tags, which hold markup characters only as tag
// markup, removing every tag (and every <br> of a CR LF) must leave text with no raw < > or
// double quote, and every & starting a character reference. Read in two parts, cut where the
// input says, and rendered side by side, the table is the same.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "table/Mygridloom.h"
#include "table/read_rows.h"
#include "gridloom/winapi.h"
#include "block_sink.h"
#include "fuzz_files.h"
#include "reference.h"


namespace {

namespace ref = gridloom::reference;

using gridloom::MyGridLoom;

// The fourteen tags the table read, through its sections.
ref::Tags TagsOf(const MyGridLoom& table) {
  ref::Tags tags;
  for (std::size_t i = 0; i < MyGridLoom::kTagSections.size(); ++i) {
    tags.open[i] = table.*MyGridLoom::kTagSections[i].open;
    tags.close[i] = table.*MyGridLoom::kTagSections[i].close;
  }
  return tags;
}

// The table rendered again from the rows of csv read in two parts, cut at `cut`: in place,
// and in blocks of about blockSize bytes.
std::string_view RenderParts(MyGridLoom& table, std::string_view csv, std::size_t cut,
                             gridloom::Isa isa = gridloom::Isa::kBest) {
  table.Render(gridloom::ReadRows(csv, cut, isa, table.Leads()));
  return table.Html();
}

std::string RenderBlocks(MyGridLoom& table, std::string_view csv, std::size_t cut,
                         std::size_t blockSize, std::string& faults) {
  gridloom::testsupport::BlockSink sink;
  table.Render(gridloom::ReadRows(csv, cut, gridloom::Isa::kBest, table.Leads()), &sink,
               blockSize);
  return sink.Text(&faults);
}

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "table: %s\n", what);
  std::abort();
}

// An INI file whose tags are chosen by the input: each key absent (the default), empty, a
// distinctive tag with a quoted attribute, or such a tag wholly in quotes (which go).
std::string MadeIni(FuzzedDataProvider& input, ref::Tags& tags) {
  std::string ini;
  for (int i = 0; i < 7; ++i) {
    ini += "[" + std::string(MyGridLoom::kTagSections[static_cast<std::size_t>(i)].name) +
           "]\r\n";
    for (int side = 0; side < 2; ++side) {
      std::string& tag = side == 0 ? tags.open[i] : tags.close[i];
      const std::string made = (side == 0 ? "<g" : "</g") + std::to_string(i) +
                               (side == 0 ? " class=\"c" + std::to_string(i) + "\">" : ">");
      const char* key = side == 0 ? "open=" : "close=";
      switch (input.ConsumeIntegralInRange(0, 3)) {
        case 0: break;
        case 1: ini += key + std::string("\r\n"); tag.clear(); break;
        case 2: ini += key + made + "\r\n"; tag = made; break;
        default: ini += key + ("'" + made + "'\r\n"); tag = made; break;
      }
    }
  }
  return ini;
}

// Removes the tags and line breaks, then checks that the rest is escaped text.
void CheckEscaped(std::string_view html, const ref::Tags& tags) {
  std::vector<std::string_view> markup = {"<br>"};
  for (int i = 0; i < 7; ++i) {
    if (!tags.open[i].empty()) markup.push_back(tags.open[i]);
    if (!tags.close[i].empty()) markup.push_back(tags.close[i]);
  }
  std::string text;
  for (std::size_t i = 0; i < html.size();) {
    bool removed = false;
    for (const std::string_view tag : markup) {
      if (html.substr(i, tag.size()) == tag) {
        i += tag.size();
        removed = true;
        break;
      }
    }
    if (!removed) text += html[i++];
  }
  for (std::size_t i = 0; i < text.size(); ++i) {
    const std::string_view rest = std::string_view(text).substr(i);
    if (text[i] == '<' || text[i] == '>' || text[i] == '"') Fail("raw markup in cell text");
    if (text[i] == '&' && !rest.starts_with("&amp;") && !rest.starts_with("&lt;") &&
        !rest.starts_with("&gt;") && !rest.starts_with("&quot;") &&
        !rest.starts_with("&#xFFFD;"))
      Fail("& that starts no character reference");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  FuzzedDataProvider input(bytes, size);
  const bool madeTags = input.ConsumeBool();
  ref::Tags tags;
  const std::string ini = madeTags ? MadeIni(input, tags) : input.ConsumeRandomLengthString();
  const std::size_t cutSeed = input.ConsumeIntegral<std::uint16_t>();
  const std::string file = input.ConsumeRemainingBytesAsString();
  // A file that starts with the UTF-8 byte order mark is a UTF-8 table: its data follow the
  // mark, and it has no lead bytes; otherwise the data are in code page 932.
  const bool utf8 = file.starts_with("\xEF\xBB\xBF");
  const std::string csv = utf8 ? file.substr(3) : file;
  const ref::Leads leads = utf8 ? ref::Leads{} : ref::Leads932();
  const std::size_t cut = csv.empty() ? 0 : cutSeed % csv.size();

  const std::vector<ref::Fields> rows = ref::LoadRows(csv);
  std::size_t columns = 0;
  for (const ref::Fields& row : rows) columns = row.size() > columns ? row.size() : columns;
  if (rows.size() * columns > 100000) return -1;  // a big, repetitive table: not worth the time

  using gridloom::fuzz::AnsiPath;
  using gridloom::fuzz::WriteScratch;
  gridloom::MyGridLoom table(AnsiPath(WriteScratch("table.csv", file)),
                             AnsiPath(WriteScratch("table.ini", ini)));
  if (!table.IsCreated()) Fail("table not created");
  const ref::Tags read = TagsOf(table);
  if (madeTags) {
    for (int i = 0; i < 7; ++i) {
      if (read.open[i] != tags.open[i] || read.close[i] != tags.close[i]) Fail("tags differ");
    }
  }
  // Written in blocks as it is rendered, the HTML is the same as rendered whole.
  gridloom::testsupport::BlockSink blocks;
  table.WriteHtml(blocks, 1 + cut % 64);
  // A NUL in a cell is a replacement character, so the HTML holds none.
  const char* text = table.GetHtml();
  const std::string html(table.Html());
  if (blocks.Text() != html) Fail("HTML in blocks differs");
  if (html != ref::Render(rows, read, leads)) Fail("HTML differs from the reference");
  if (html.find('\0') != std::string::npos) Fail("a NUL in the HTML");
  if (std::string_view(text) != html) Fail("GetHtml is not the HTML");
  if ((table.HtmlCodePage() == CP_UTF8) != utf8) Fail("not UTF-8 exactly after the mark");
  if (madeTags) CheckEscaped(html, tags);
  // Read in two parts and rendered side by side, the table is the same.
  if (RenderParts(table, csv, cut) != html)
    Fail("HTML of the table read in two parts differs");
  std::string faults;
  if (RenderBlocks(table, csv, cut, 1 + cutSeed % 97, faults) != html) {
    std::fprintf(stderr, "%s\n", faults.c_str());
    Fail("HTML of the table read in two parts differs in blocks");
  }
  // Read and rendered with every other set of instructions (plain included), whole and in
  // two parts: the same.
  for (const gridloom::Isa isa : gridloom::AvailableIsas()) {
    if (isa == gridloom::BestIsa()) continue;
    gridloom::MyGridLoom other(AnsiPath(gridloom::fuzz::Scratch().Path("table.csv")),
                               AnsiPath(gridloom::fuzz::Scratch().Path("table.ini")), isa);
    if (std::string_view(other.GetHtml()) != html) Fail("HTML differs by instructions");
    if (RenderParts(other, csv, cut, isa) != html)
      Fail("HTML of the table read in two parts differs by instructions");
  }
  return 0;
}
