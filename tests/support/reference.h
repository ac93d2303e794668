// Plain reference models of the CSV reader, the table loader, cell escaping and rendering,
// written straight from the reading rules, one byte at a time and with no fast paths. The
// fuzz targets and the tests check the library against them.
//
// The lead bytes of code page 932, for the models' callers: Leads932().
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace gridloom::reference {

using Fields = std::vector<std::string>;

// A byte stream with the three operations the reader uses: look ahead (no flags), take (a
// failed take sets end-of-file and fail together), and the end-of-file flag.
struct Stream {
  std::string_view data;
  std::size_t pos = 0;
  bool eof = false;  // end-of-file and fail, always set together

  int Peek() const { return eof || pos >= data.size() ? -1 : static_cast<unsigned char>(data[pos]); }
  bool Take(char& c) {
    if (eof || pos >= data.size()) {
      eof = true;
      return false;
    }
    c = data[pos++];
    return true;
  }
  void TakeLineEnd() {  // the next byte is CR or LF
    char c = 0;
    if (Take(c) && c == '\r' && Peek() == '\n') Take(c);
  }
};

// One record, read by the state table of the reader.
inline Fields ReadRecord(Stream& s) {
  enum class State { FieldStart, Plain, Quoted, AfterQuote };
  Fields record;
  if (s.eof) return record;
  State state = State::FieldStart;
  std::string field;
  char c;
  for (;;) {
    switch (state) {
      case State::FieldStart:
        if (s.Peek() == '\n' || s.Peek() == '\r') {
          s.TakeLineEnd();
          return record;
        }
        field.clear();
        if (s.Peek() == '"') {
          s.Take(c);
          state = State::Quoted;
        } else {
          state = State::Plain;
        }
        break;
      case State::Plain:
        if (!s.Take(c)) {
          record.push_back(field);
          return record;
        }
        if (c == ',') {
          record.push_back(field);
          state = State::FieldStart;
          break;
        }
        field += c;
        if (s.Peek() == '\n' || s.Peek() == '\r') {
          s.TakeLineEnd();
          record.push_back(field);
          return record;
        }
        break;
      case State::Quoted:
        if (!s.Take(c)) {
          record.push_back(field);
          return record;
        }
        if (c == '"') {
          state = State::AfterQuote;
        } else {
          field += c;
        }
        break;
      case State::AfterQuote:
        if (s.Peek() == '\n' || s.Peek() == '\r') {
          s.TakeLineEnd();
          record.push_back(field);
          return record;
        }
        if (!s.Take(c)) {
          record.push_back(field);
          return record;
        }
        if (c == ',') {
          record.push_back(field);
          state = State::FieldStart;
        } else {
          if (c != '"') field += '"';
          field += c;
          state = State::Quoted;
        }
        break;
    }
  }
}

// The rows of a table loaded from a file: every record with at least one field, up to the
// first empty line, and nothing once no byte of the file is left.
inline std::vector<Fields> LoadRows(std::string_view file) {
  std::vector<Fields> rows;
  Stream s{file};
  while (s.pos < file.size()) {
    Fields record = ReadRecord(s);
    if (record.empty()) break;
    rows.push_back(std::move(record));
  }
  return rows;
}

inline std::string ReplaceEvery(std::string text, std::string_view from, std::string_view to) {
  std::string out;
  std::size_t i = 0;
  while (i < text.size()) {
    if (text.compare(i, from.size(), from) == 0) {
      out += to;
      i += from.size();
    } else {
      out += text[i++];
    }
  }
  return out;
}

// The lead bytes of a double-byte code page: lead[b] for each byte b (all false: none).
using Leads = std::array<bool, 256>;

// Whether the byte at i is a lead byte without a trail byte: a lead byte at an even distance
// from the start of its run of lead bytes (which starts at the text's start or after a byte
// that is no lead byte) that ends the text or comes before a byte below 0x40.
inline bool LoneLead(std::string_view text, std::size_t i, const Leads& leads) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  if (!leads[byte(i)] || (i + 1 < text.size() && byte(i + 1) >= 0x40)) return false;
  std::size_t run = 0;
  while (run < i && leads[byte(i - run - 1)]) ++run;
  return run % 2 == 0;
}

// The six replacements, in their order, on text that holds no lead byte without a trail byte.
inline std::string EscapeWhole(std::string text) {
  text = ReplaceEvery(std::move(text), "&", "&amp;");
  text = ReplaceEvery(std::move(text), "<", "&lt;");
  text = ReplaceEvery(std::move(text), ">", "&gt;");
  text = ReplaceEvery(std::move(text), "\"", "&quot;");
  text = ReplaceEvery(std::move(text), "\r\n", "<br>");
  return ReplaceEvery(std::move(text), std::string_view("\0", 1), "&#xFFFD;");
}

// Escaped cell text: the pieces between lead bytes without a trail byte escaped, those lead
// bytes &#xFFFD;.
inline std::string Escape(const std::string& text, const Leads& leads = {}) {
  std::string out;
  std::size_t piece = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (!LoneLead(text, i, leads)) continue;
    out += EscapeWhole(text.substr(piece, i - piece)) + "&#xFFFD;";
    piece = i + 1;
  }
  return out + EscapeWhole(text.substr(piece));
}

// The fourteen tags in the order table, tableRow, tdRow1, tdRowX, tdCol1, tdColX, tdEtc.
struct Tags {
  std::string open[7] = {"<table>", "<tr>", "", "", "", "", "<td>"};
  std::string close[7] = {"</table>", "</tr>", "", "", "", "", "</td>"};
};

inline std::string Render(const std::vector<Fields>& rows, const Tags& tags,
                          const Leads& leads = {}) {
  enum { kTable, kRow, kRow1, kRowX, kCol1, kColX, kEtc };
  std::size_t columns = 0;
  for (const Fields& row : rows) columns = row.size() > columns ? row.size() : columns;
  std::string html = tags.open[kTable];
  for (std::size_t j = 0; j < rows.size(); ++j) {
    html += tags.open[kRow];
    for (std::size_t k = 0; k < columns; ++k) {
      int section = kEtc;
      if (!tags.open[kRow1].empty() && j == 0) {
        section = kRow1;
      } else if (!tags.open[kRowX].empty() && j == rows.size() - 1) {
        section = kRowX;
      } else if (!tags.open[kCol1].empty() && k == 0) {
        section = kCol1;
      } else if (!tags.open[kColX].empty() && k == columns - 1) {
        section = kColX;
      }
      html += tags.open[section];
      if (k < rows[j].size()) html += Escape(rows[j][k], leads);
      html += tags.close[section];
    }
    html += tags.close[kRow];
  }
  return html + tags.close[kTable];
}

inline Leads Leads932() {
  Leads leads{};
  for (unsigned b = 0x81; b <= 0x9F; ++b) leads[b] = true;
  for (unsigned b = 0xE0; b <= 0xFC; ++b) leads[b] = true;
  return leads;
}

}  // namespace gridloom::reference
