// The rows of a loaded table, and what rendering needs to know of them beforehand: their
// columns, and how much escaping lengthens their text.
#pragma once

#include <cstddef>
#include <iosfwd>
#include <string_view>
#include <vector>

#include "base/isa.h"
#include "base/lead_bytes.h"
#include "csvreader/Csvreader.h"

namespace gridloom {

// The loaded table: every record of the CSV file in file order, all field text in one string.
class TableRows {
 public:
  std::size_t size() const { return recordEnds_.size() - dropped_; }
  bool empty() const { return size() == 0; }
  RecordView operator[](std::size_t index) const;

  // Room for a file of this size; a guess, for the field ends.
  void Reserve(std::size_t fileSize);
  // Reads the next record of the input; it is a row when it has fields. Answers their count.
  // leads: those of the code page of the text, for the growth of its escaping.
  std::size_t Read(std::istream& input, Isa isa, const LeadBytes& leads);
  // Reads the records of text in memory that CSVReader::AppendRecords takes in one go, those
  // that start before limit; answers where it stopped.
  const char* ReadMany(const char* begin, const char* limit, const char* end, Isa isa,
                       const LeadBytes& leads);
  // The largest field count of the rows.
  std::size_t Columns() const { return columns_; }
  // Forgets the first rows: they were read from the middle of a record.
  void DropFront(std::size_t rows, const LeadBytes& leads);
  // After the last Read: the padding after the text, for block-wise scans.
  void Seal();
  // All field text, row after row; the padding follows it once sealed.
  std::string_view Text() const { return fields_.Text().substr(TextStart()); }
  // How much longer escaping makes the text, field by field.
  std::size_t EscapeGrowth() const { return growth_; }
  // How many lead bytes without a trail byte the text holds (none in proper text).
  std::size_t LoneLeads() const { return loneLeads_; }

 private:
  // Takes the field counts of the records from the one at from on into the columns.
  void CountColumns(std::size_t from);
  std::size_t FirstField() const { return dropped_ == 0 ? 0 : recordEnds_[dropped_ - 1]; }
  std::size_t TextStart() const {
    const std::size_t first = FirstField();
    return first == 0 ? 0 : fields_.Ends()[first - 1];
  }

  FieldBuffer fields_;                   // every field of every record
  std::vector<std::size_t> recordEnds_;  // end index in the fields of every record
  std::size_t dropped_ = 0;              // records before the first row
  std::size_t columns_ = 0;
  std::size_t growth_ = 0;  // of the rows' text under escaping
  std::size_t loneLeads_ = 0;
};

// In the header: the renderer asks it for every row.
inline RecordView TableRows::operator[](std::size_t index) const {
  index += dropped_;
  const std::size_t first = index == 0 ? 0 : recordEnds_[index - 1];
  const FieldEnd* ends = fields_.Ends();
  const std::size_t start = first == 0 ? 0 : ends[first - 1];
  return {fields_.Text().data(), ends + first, recordEnds_[index] - first, start};
}

}  // namespace gridloom
