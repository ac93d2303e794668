#include "Csvreader.h"

#include <climits>
#include <cstring>
#include <istream>
#include <streambuf>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace gridloom {
namespace {

using Traits = std::char_traits<char>;

// The get area of any stream buffer, for bulk scans. The language lets a derived class form
// pointers to the protected members of its base, and those apply to every stream buffer.
struct GetArea : std::streambuf {
  static char* Next(std::streambuf& buffer) { return (buffer.*&GetArea::gptr)(); }
  static char* End(std::streambuf& buffer) { return (buffer.*&GetArea::egptr)(); }
  static void Skip(std::streambuf& buffer, std::size_t count) {
    while (count > 0) {
      const int step = count > INT_MAX ? INT_MAX : static_cast<int>(count);
      (buffer.*&GetArea::gbump)(step);
      count -= static_cast<std::size_t>(step);
    }
  }
};

bool EndsPlainRun(char c) { return c == ',' || c == '\r' || c == '\n'; }

// The first byte in [p, end) that ends a plain field: a comma, CR or LF.
const char* FindPlainStop(const char* p, const char* end) {
#if defined(__SSE2__)
  const __m128i comma = _mm_set1_epi8(','), cr = _mm_set1_epi8('\r'), lf = _mm_set1_epi8('\n');
  for (; end - p >= 16; p += 16) {
    const __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i hits = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(chunk, comma),
                                                   _mm_cmpeq_epi8(chunk, cr)),
                                      _mm_cmpeq_epi8(chunk, lf));
    if (const int mask = _mm_movemask_epi8(hits)) return p + __builtin_ctz(mask);
  }
#endif
  while (p < end && !EndsPlainRun(*p)) ++p;
  return p;
}

const char* FindQuote(const char* p, const char* end) {
  const void* hit = std::memchr(p, '"', static_cast<std::size_t>(end - p));
  return hit ? static_cast<const char*>(hit) : end;
}

// The three stream operations the reader uses: look ahead (never sets a flag), take (a failed
// take sets the end-of-file and fail flags), and the flags; plus bulk takes of data runs.
class Input {
 public:
  explicit Input(std::istream& stream) : stream_(stream), buffer_(stream.rdbuf()) {}

  bool AtEnd() const { return stream_.eof(); }

  int Peek() {
    if (buffer_ == nullptr || !stream_.good()) return Traits::eof();
    try {
      return buffer_->sgetc();
    } catch (...) {
      stream_.setstate(std::ios::badbit);
      return Traits::eof();
    }
  }

  bool Take(char& byte) {
    int c = Traits::eof();
    if (buffer_ != nullptr && stream_.good()) {
      try {
        c = buffer_->sbumpc();
      } catch (...) {
        stream_.setstate(std::ios::badbit);
      }
    }
    if (Traits::eq_int_type(c, Traits::eof())) {
      stream_.setstate(std::ios::eofbit | std::ios::failbit);
      return false;
    }
    byte = Traits::to_char_type(c);
    return true;
  }

  void Skip() {  // only after a Peek that saw a byte
    try {
      buffer_->sbumpc();
    } catch (...) {
      stream_.setstate(std::ios::badbit);
    }
  }

  // Takes a line terminator (LF, CR, or CR LF) if one is next.
  bool IsEndOfLine() {
    if (AtEnd()) return false;
    const int c = Peek();
    if (c == '\n') {
      Skip();
      return true;
    }
    if (c == '\r') {
      Skip();
      if (Peek() == '\n') Skip();
      return true;
    }
    return false;
  }

  // Reads the fields that end within the buffered bytes in one go: their text is appended
  // to text and their ends to ends, and their commas and line end are taken. Answers true
  // when the record has ended; false when it stopped, having taken what it read, at a line
  // end where a field would start or before a field that runs past the buffer.
  bool FieldsInBuffer(std::string& text, std::vector<std::size_t>& ends) {
    if (buffer_ == nullptr || !stream_.good()) return false;
    const char* const begin = GetArea::Next(*buffer_);
    const char* const end = GetArea::End(*buffer_);
    const char* p = begin;  // where the next field starts
    bool ended = false;
    while (!ended && p != end && *p != '\r' && *p != '\n') {
      const char* stop;  // the comma or line end after the field
      if (*p != '"') {
        stop = FindPlainStop(p, end);
        if (stop == end) break;
        text.append(p, static_cast<std::size_t>(stop - p));
      } else {
        stop = QuotedFieldEnd(p + 1, end, text);
        if (stop == nullptr) break;
      }
      ends.push_back(text.size());
      ended = *stop != ',';
      p = stop + 1;
    }
    GetArea::Skip(*buffer_, static_cast<std::size_t>(p - begin));
    if (ended && p[-1] == '\r' && Peek() == '\n') Skip();
    return ended;
  }

  // The text of a quoted field from p (after its opening quote) up to its closing quote is
  // appended to text; answers where the comma or line end after that quote stands, or null
  // (text as it was) when the field does not end within [p, end).
  static const char* QuotedFieldEnd(const char* p, const char* end, std::string& text) {
    const std::size_t mark = text.size();
    for (;;) {
      const char* quote = FindQuote(p, end);
      if (end - quote < 2) {  // the quote, or the byte after it, is not buffered
        text.resize(mark);
        return nullptr;
      }
      text.append(p, static_cast<std::size_t>(quote - p));
      const char next = quote[1];
      if (next == ',' || next == '\r' || next == '\n') return quote + 1;
      if (next != '"') text += '"';  // a quote inside the field stays, with the byte after it
      text += next;
      p = quote + 2;
    }
  }

  // Takes the bytes before the first one that find stops at and appends them to out. Answers
  // that byte, not taken, or eof.
  template <const char* (*Find)(const char*, const char*)>
  int TakeRun(std::string& out) {
    for (;;) {
      const int next = Peek();
      if (Traits::eq_int_type(next, Traits::eof())) return next;
      char* begin = GetArea::Next(*buffer_);
      char* end = GetArea::End(*buffer_);
      if (begin == end) {  // an unbuffered stream: one byte at a time
        const char c = Traits::to_char_type(next);
        if (Find(&c, &c + 1) == &c) return next;
        out += c;
        Skip();
        continue;
      }
      const char* stop = Find(begin, end);
      out.append(begin, static_cast<std::size_t>(stop - begin));
      GetArea::Skip(*buffer_, static_cast<std::size_t>(stop - begin));
      if (stop != end) return static_cast<unsigned char>(*stop);
    }
  }

 private:
  std::istream& stream_;
  std::streambuf* buffer_;
};

// Reads a field that did not start with a quote; answers whether the record has ended.
bool ReadPlainField(Input& input, std::string& field) {
  input.TakeRun<FindPlainStop>(field);
  char byte;
  if (!input.Take(byte)) return true;  // the end of the data
  if (byte == ',') return false;
  if (byte == '\r' && input.Peek() == '\n') input.Skip();
  return true;  // CR or LF: the terminator is taken
}

// Reads a quoted field after its opening quote; answers whether the record has ended.
bool ReadQuotedField(Input& input, std::string& field) {
  for (;;) {
    input.TakeRun<FindQuote>(field);
    char byte;
    if (!input.Take(byte)) return true;  // an unclosed field runs to the end of the data
    // byte is a quote: it closes the field before a line end, a comma or the end of the data
    if (input.IsEndOfLine()) return true;
    if (!input.Take(byte)) return true;
    if (byte == ',') return false;
    if (byte != '"') field += '"';
    field += byte;
  }
}

class MemoryBuffer : public std::streambuf {
 public:
  MemoryBuffer(const char* text, std::size_t size) {
    char* begin = const_cast<char*>(text);  // the get area is only read
    setg(begin, begin, begin + size);
  }
};

}  // namespace

std::vector<std::string> Record::Fields() const {
  std::vector<std::string> fields;
  fields.reserve(size());
  for (std::size_t i = 0; i < size(); ++i) fields.emplace_back((*this)[i]);
  return fields;
}

CSVReader::CSVReader(const char* text) {
  if (text == nullptr) text = "";
  MemoryBuffer buffer(text, std::strlen(text));
  std::istream stream(&buffer);
  ReadRecord(stream);
}

CSVReader::CSVReader(std::istream& input) { ReadRecord(input); }

void CSVReader::ReadRecord(std::istream& stream) {
  record.text_.clear();
  record.ends_.clear();
  AppendRecord(stream, record.text_, record.ends_);
}

std::size_t CSVReader::AppendRecord(std::istream& stream, std::string& text,
                                    std::vector<std::size_t>& ends) {
  const std::size_t before = ends.size();
  Input input(stream);
  while (!input.AtEnd()) {
    if (input.FieldsInBuffer(text, ends)) break;
    // A line end, or a field that the buffer does not hold whole: byte by byte.
    if (input.IsEndOfLine()) break;
    bool ended;
    char quote;
    if (input.Peek() == '"' && input.Take(quote)) {
      ended = ReadQuotedField(input, text);
    } else {
      ended = ReadPlainField(input, text);
    }
    ends.push_back(text.size());
    if (ended) break;
  }
  return ends.size() - before;
}

std::string CSVReader::GetField(std::uint32_t index) const {
  if (index >= record.size()) return {};
  return std::string(record[index]);
}

std::uint32_t CSVReader::GetFieldCount() const {
  return static_cast<std::uint32_t>(record.size());
}

}  // namespace gridloom
