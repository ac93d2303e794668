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

  // A field that ends within the buffered bytes, read in one go: its text is appended to out,
  // its comma or line end taken, and ended tells which. Answers false, having taken nothing,
  // at a line end, at the end of the buffer, or when the field runs past it.
  bool FieldInBuffer(std::string& out, bool& ended) {
    if (buffer_ == nullptr || !stream_.good()) return false;
    const char* const begin = GetArea::Next(*buffer_);
    const char* const end = GetArea::End(*buffer_);
    if (begin == end || *begin == '\r' || *begin == '\n') return false;
    if (*begin != '"') {
      const char* stop = FindPlainStop(begin, end);
      if (stop == end) return false;
      out.append(begin, static_cast<std::size_t>(stop - begin));
      return TakeFieldEnd(begin, stop, ended);
    }
    const std::size_t mark = out.size();
    for (const char* p = begin + 1;;) {
      const char* quote = FindQuote(p, end);
      if (end - quote < 2) {  // the quote, or the byte after it, is not buffered
        out.resize(mark);
        return false;
      }
      out.append(p, static_cast<std::size_t>(quote - p));
      const char next = quote[1];
      if (next == ',' || next == '\r' || next == '\n') return TakeFieldEnd(begin, quote + 1, ended);
      if (next != '"') out += '"';  // a quote inside the field stays, with the byte after it
      out += next;
      p = quote + 2;
    }
  }

  // Takes the bytes from begin through the comma or line end at stop (with an LF after a CR).
  bool TakeFieldEnd(const char* begin, const char* stop, bool& ended) {
    const char terminator = *stop;
    GetArea::Skip(*buffer_, static_cast<std::size_t>(stop + 1 - begin));
    ended = terminator != ',';
    if (terminator == '\r' && Peek() == '\n') Skip();
    return true;
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
  Input input(stream);
  while (!input.AtEnd()) {
    bool ended;
    if (!input.FieldInBuffer(record.text_, ended)) {
      if (input.IsEndOfLine()) break;
      char quote;
      if (input.Peek() == '"' && input.Take(quote)) {
        ended = ReadQuotedField(input, record.text_);
      } else {
        ended = ReadPlainField(input, record.text_);
      }
    }
    record.ends_.push_back(record.text_.size());
    if (ended) break;
  }
}

std::string CSVReader::GetField(std::uint32_t index) const {
  if (index >= record.size()) return {};
  return std::string(record[index]);
}

std::uint32_t CSVReader::GetFieldCount() const {
  return static_cast<std::uint32_t>(record.size());
}

}  // namespace gridloom
