// CSVReader splits comma-separated text into records of fields, byte for byte. It reads any
// forward-only byte stream: it looks at most one byte ahead, never puts a byte back and never
// seeks, and the end of the data shows in the stream's flags and in a record without fields.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iosfwd>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "base/isa.h"
#include "base/lead_bytes.h"

namespace gridloom {

// Where a field ends: an offset in the text of its record store, which holds at most 4 GiB of
// text (a table that large could not be returned as one BSTR anyway).
using FieldEnd = std::uint32_t;

// One record, read-only: its fields in the order of the text. Fields are byte strings of any
// byte values; a record may have no fields.
class RecordView {
 public:
  RecordView(const char* text, const FieldEnd* ends, std::size_t count, std::size_t start)
      : text_(text), ends_(ends), count_(count), start_(start) {}

  std::size_t size() const { return count_; }
  bool empty() const { return count_ == 0; }
  const char* Begin() const { return text_ + start_; }  // of the first field's text
  const char* End(std::size_t index) const { return text_ + ends_[index]; }  // of a field's
  std::string_view operator[](std::size_t index) const {
    const std::size_t begin = index == 0 ? start_ : ends_[index - 1];
    return {text_ + begin, ends_[index] - begin};
  }

 private:
  const char* text_;
  const FieldEnd* ends_;  // end offset of each field in text_
  std::size_t count_;
  std::size_t start_;  // offset of the first field in text_
};

// Fields back to back: their text in one block and where each field ends (an offset in the
// text). The storage grows by doubling and is written without being cleared first; appends
// need room reserved before them.
class FieldBuffer {
 public:
  FieldBuffer() = default;
  FieldBuffer(const FieldBuffer& other);
  FieldBuffer(FieldBuffer&& other) noexcept { Swap(other); }
  FieldBuffer& operator=(FieldBuffer other) noexcept {
    Swap(other);
    return *this;
  }

  std::size_t size() const { return count_; }
  std::string_view Text() const { return {text_.get(), bytes_}; }
  const FieldEnd* Ends() const { return ends_.get(); }
  void Clear() { bytes_ = count_ = 0; }

  // Room for bytes more text and fields more field ends. Throws std::length_error past the
  // text a store can hold.
  void Reserve(std::size_t bytes, std::size_t fields);
  char* TextEnd() { return text_.get() + bytes_; }  // room reserved after the text
  void Append(const char* text, std::size_t size) {
    if (size > 0) std::memcpy(text_.get() + bytes_, text, size);
    bytes_ += size;
  }
  void Append(char byte) { text_[bytes_++] = byte; }
  void Extend(std::size_t written) { bytes_ += written; }  // written at TextEnd
  void Truncate(std::size_t bytes) { bytes_ = bytes; }
  // Sets the sizes, within the room reserved: what was written there counts up to them.
  void Resize(std::size_t bytes, std::size_t fields) { bytes_ = bytes, count_ = fields; }
  FieldEnd* EndsEnd() { return ends_.get() + count_; }  // room reserved after the ends
  std::size_t Room() const { return endsCapacity_ - count_; }  // for field ends
  void EndField() {
    if (count_ == endsCapacity_) Reserve(0, 1);
    ends_[count_++] = static_cast<FieldEnd>(bytes_);
  }

 private:
  void Swap(FieldBuffer& other) noexcept;

  std::unique_ptr<char[]> text_;
  std::size_t bytes_ = 0, textCapacity_ = 0;
  std::unique_ptr<FieldEnd[]> ends_;
  std::size_t count_ = 0, endsCapacity_ = 0;
};

// The record a reader holds.
class Record {
 public:
  std::size_t size() const { return fields_.size(); }
  bool empty() const { return fields_.size() == 0; }
  std::string_view operator[](std::size_t index) const { return View()[index]; }
  RecordView View() const { return {fields_.Text().data(), fields_.Ends(), fields_.size(), 0}; }

  std::vector<std::string> Fields() const;  // a copy, field by field

 private:
  friend class CSVReader;
  FieldBuffer fields_;
};

class CSVReader {
 public:
  // Reads the first record of text (NUL-terminated); whatever follows its line end is ignored.
  explicit CSVReader(const char* text);
  // Reads the first record of the stream and leaves the stream just after it.
  explicit CSVReader(std::istream& input);

  // Replaces the current record with the next record of the stream.
  void ReadRecord(std::istream& input);
  // Reads the next record of the stream without keeping it: its fields are appended to
  // fields. Answers their count. isa: the instructions to scan the stream's buffer with.
  static std::size_t AppendRecord(std::istream& input, FieldBuffer& fields,
                                  Isa isa = Isa::kBest);
  // The bulk reads' block: 64 bytes, or 32 in a 32-bit build (a mask of the block's bytes
  // fits a register).
  static constexpr unsigned kBulkBlock = sizeof(std::size_t) >= 8 ? 64 : 32;
  // Reads many records of text in memory in one go, kBulkBlock bytes at a time: appends the
  // fields of the records that start before limit and end, with their line end, in the
  // blocks that lie 16 bytes or more before end, and after each record the field count of
  // fields to recordEnds. Stops sooner at an empty line and at quoting that it leaves to
  // AppendRecord: a quote inside a plain field, or text after a closing quote. Answers where
  // it stopped, at the start of a record; tally counts the bytes of the text appended that
  // HTML escaping changes, with the lead bytes of leads (none: a code page without them).
  struct Tally {
    std::size_t ampersands = 0, angles = 0, quotes = 0, lineBreaks = 0;  // < and >; CR LF
    std::size_t nuls = 0, loneLeads = 0;  // lead bytes without a trail byte
  };
  // isa: the instructions to use; the best the processor has, or (for tests) fewer.
  static const char* AppendRecords(const char* begin, const char* limit, const char* end,
                                   FieldBuffer& fields, std::vector<std::size_t>& recordEnds,
                                   Tally& tally, Isa isa = Isa::kBest,
                                   const LeadBytes& leads = {});

  // A copy of the field at index, or empty text when there is no such field.
  std::string GetField(std::uint32_t index) const;
  std::uint32_t GetFieldCount() const;
  const Record& GetRecord() const { return record; }

 private:
  Record record;
};

}  // namespace gridloom
