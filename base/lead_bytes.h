// The lead bytes of a double-byte ANSI code page, for the rule that keeps a broken character
// from taking the table's markup: a lead byte that starts a character and ends its cell, or
// whose next byte is below 0x40 (no double-byte code page takes such a byte as a trail
// byte), has no trail byte and is written as U+FFFD. Which bytes start a character follows
// from the runs of lead bytes: from the first byte of a cell or the first byte after one that
// is no lead byte, every other byte of a run starts a character.
#pragma once

#include <array>
#include <cstddef>

namespace gridloom {

class LeadBytes {
 public:
  // None: a single-byte code page, or UTF-8.
  LeadBytes() = default;
  // From a test of every byte (IsDBCSLeadByteEx).
  template <class IsLead>
  explicit LeadBytes(IsLead isLead) {
    for (unsigned b = 0; b < 256; ++b) {
      lead_[b] = isLead(static_cast<unsigned char>(b));
      any_ = any_ || lead_[b];
    }
    // At most two ranges, for block scans; more: no ranges (byte by byte).
    unsigned count = 0;
    for (unsigned b = 0; b < 256; ++b) {
      if (!lead_[b] || (b > 0 && lead_[b - 1])) continue;
      unsigned last = b;
      while (last < 255 && lead_[last + 1]) ++last;
      if (count < 2) {
        from_[count] = static_cast<unsigned char>(b);
        to_[count] = static_cast<unsigned char>(last);
      }
      ++count;
    }
    ranged_ = count >= 1 && count <= 2;
    if (count == 1) from_[1] = from_[0], to_[1] = to_[0];
  }

  bool Any() const { return any_; }
  bool operator[](unsigned char byte) const { return lead_[byte]; }
  // The lead bytes as two ranges [From(i), To(i)] (the same one twice, if one), where Ranged.
  bool Ranged() const { return ranged_; }
  unsigned char From(int i) const { return from_[i]; }
  unsigned char To(int i) const { return to_[i]; }

 private:
  std::array<bool, 256> lead_{};
  bool any_ = false, ranged_ = false;
  unsigned char from_[2] = {}, to_[2] = {};
};

}  // namespace gridloom
