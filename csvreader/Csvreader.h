// CSVReader splits comma-separated text into records of fields, byte for byte. It reads any
// forward-only byte stream: it looks at most one byte ahead, never puts a byte back and never
// seeks, and the end of the data shows in the stream's flags and in a record without fields.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <string>
#include <string_view>
#include <vector>

namespace gridloom {

// One record, read-only: its fields in the order of the text. Fields are byte strings of any
// byte values; a record may have no fields.
class RecordView {
 public:
  RecordView(const char* text, const std::size_t* ends, std::size_t count, std::size_t start)
      : text_(text), ends_(ends), count_(count), start_(start) {}

  std::size_t size() const { return count_; }
  bool empty() const { return count_ == 0; }
  std::string_view operator[](std::size_t index) const {
    const std::size_t begin = index == 0 ? start_ : ends_[index - 1];
    return {text_ + begin, ends_[index] - begin};
  }

 private:
  const char* text_;
  const std::size_t* ends_;  // end offset of each field in text_
  std::size_t count_;
  std::size_t start_;  // offset of the first field in text_
};

// The record a reader holds: all field text in one string, and where each field ends.
class Record {
 public:
  std::size_t size() const { return ends_.size(); }
  bool empty() const { return ends_.empty(); }
  std::string_view operator[](std::size_t index) const { return View()[index]; }
  RecordView View() const { return {text_.data(), ends_.data(), ends_.size(), 0}; }
  std::string_view Text() const { return text_; }                // all fields, back to back
  const std::vector<std::size_t>& Ends() const { return ends_; }  // where each field ends

  std::vector<std::string> Fields() const;  // a copy, field by field

 private:
  friend class CSVReader;
  std::string text_;
  std::vector<std::size_t> ends_;
};

class CSVReader {
 public:
  // Reads the first record of text (NUL-terminated); whatever follows its line end is ignored.
  explicit CSVReader(const char* text);
  // Reads the first record of the stream and leaves the stream just after it.
  explicit CSVReader(std::istream& input);

  // Replaces the current record with the next record of the stream.
  void ReadRecord(std::istream& input);
  // Reads the next record of the stream without keeping it: its field text is appended to
  // text and the end of each field (an offset in text) to ends. Answers its field count.
  static std::size_t AppendRecord(std::istream& input, std::string& text,
                                  std::vector<std::size_t>& ends);

  // A copy of the field at index, or empty text when there is no such field.
  std::string GetField(std::uint32_t index) const;
  std::uint32_t GetFieldCount() const;
  const Record& GetRecord() const { return record; }

 private:
  Record record;
};

}  // namespace gridloom
