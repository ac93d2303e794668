// The escaping of cell text for HTML, in one pass: & < > and the double quote become
// character references, CR LF becomes <br>, a NUL byte becomes &#xFFFD; (what an HTML parser
// makes of it), and so does, in a double-byte ANSI code page, a lead byte without a trail
// byte (see lead_bytes.h), so that no broken character can join the table's markup in the
// conversion to UTF-16. Every other byte stays. Block-wise over padded text: the functions
// read up to kEscapePadding bytes past the text, which must be there, and write up to 16
// past the result.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstring>
#include <string_view>

#include "base/isa.h"
#include "base/lead_bytes.h"
#include "base/sse2.h"

namespace gridloom {

inline constexpr std::size_t kEscapePadding = 32;

// How much longer escaping makes text, byte by byte (no padding needed); leads: those of the
// ANSI code page, or none.
std::size_t EscapeGrowthOf(std::string_view text, const LeadBytes& leads = {});

// How many lead bytes without a trail byte text holds.
std::size_t LoneLeadsOf(std::string_view text, const LeadBytes& leads);

namespace escape_detail {

// What escaping does to a byte: 0 keeps it; 1 to 5 replace it with kReference[class]; 6 is
// CR, a line break when an LF follows it.
inline constexpr std::array<unsigned char, 256> kEscapeClass = [] {
  std::array<unsigned char, 256> classes{};
  classes['&'] = 1;
  classes['<'] = 2;
  classes['>'] = 3;
  classes['"'] = 4;
  classes['\0'] = 5;
  classes['\r'] = 6;
  return classes;
}();
inline constexpr char kReference[6][16] = {"", "&amp;", "&lt;", "&gt;", "&quot;",
                                           "&#xFFFD;"};  // padded to 16
inline constexpr unsigned char kReplacement = 5;  // &#xFFFD;
inline constexpr char kLineBreak[] = "<br>";      // for CR LF

// The growth of escaping, defined here once for the reader's counts, the growth of a text and
// the renderer's sizes: how much longer each class of byte becomes (a CR: none alone; a CR LF
// grows by kLineBreakGrowth), and the most bytes one byte of text becomes.
inline constexpr std::array<unsigned char, 7> kGrowth = [] {
  std::array<unsigned char, 7> growth{};
  for (std::size_t kind = 1; kind <= kReplacement; ++kind)
    growth[kind] = static_cast<unsigned char>(std::string_view(kReference[kind]).size() - 1);
  return growth;
}();
inline constexpr unsigned char kLineBreakGrowth = sizeof kLineBreak - 1 - 2;
inline constexpr std::size_t kMostEscapedBytes =
    1 + std::max(*std::max_element(kGrowth.begin(), kGrowth.end()), kLineBreakGrowth);

// Escapes the byte at p (not plain); answers how many bytes of the text it took.
inline std::size_t WriteSpecial(char*& out, const char* p, const char* end) {
  const unsigned char kind = kEscapeClass[static_cast<unsigned char>(*p)];
  if (kind < 6) {
    std::memcpy(out, kReference[kind], 8);
    out += kGrowth[kind] + 1;
    return 1;
  }
  if (p + 1 != end && p[1] == '\n') {
    std::memcpy(out, kLineBreak, sizeof kLineBreak - 1);
    out += sizeof kLineBreak - 1;
    return 2;
  }
  *out++ = '\r';  // a lone CR stays
  return 1;
}

inline void WriteReplacement(char*& out) {
  std::memcpy(out, kReference[kReplacement], 8);
  out += kGrowth[kReplacement] + 1;
}

#if GRIDLOOM_HAVE_SSE2

// Writes the first take bytes of the block at p (text up to end), escaping those whose bits
// are set in mask (the bits of lone also set in mask: lead bytes without a trail byte); the
// bytes between are copied 16 at a time. Answers how many bytes of the text it took: take,
// or one more where a CR LF spans the block's end.
inline unsigned WriteBlock(char*& out, const char* p, const char* end, unsigned mask,
                           unsigned take, unsigned lone = 0) {
  unsigned done = 0;
  while (mask != 0) {
    const unsigned at = static_cast<unsigned>(__builtin_ctz(mask));
    Store16(out, Load16(p + done));
    out += at - done;
    if (lone >> at & 1) {
      WriteReplacement(out);
      done = at + 1;
    } else {
      done = at + static_cast<unsigned>(WriteSpecial(out, p + at, end));
    }
    mask &= done < 32 ? ~0u << done : 0;
  }
  if (done < take) {
    Store16(out, Load16(p + done));
    out += take - done;
    done = take;
  }
  return done;
}
#endif

}  // namespace escape_detail

#if GRIDLOOM_HAVE_SSE2
// Bit i is set when byte i of the 16 may change under escaping (but for lead bytes).
inline unsigned EscapableMask(__m128i bytes) {
  const auto is = [bytes](char c) { return _mm_cmpeq_epi8(bytes, _mm_set1_epi8(c)); };
  return static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(
      _mm_or_si128(_mm_or_si128(is('&'), is('<')), _mm_or_si128(is('>'), is('"'))),
      _mm_or_si128(is('\r'), is('\0')))));
}

// Bit i is set when byte i of the 16 is below 0x40.
inline unsigned LowMask(__m128i bytes) {
  return static_cast<unsigned>(_mm_movemask_epi8(
      _mm_cmpeq_epi8(_mm_min_epu8(bytes, _mm_set1_epi8(0x3F)), bytes)));
}
#endif

// The lead bytes of a code page with what block scans need of them, made once per table.
class EscapeScan {
 public:
  explicit EscapeScan(const LeadBytes& leads) : leads_(leads) {
#if GRIDLOOM_HAVE_SSE2
    for (int i = 0; i < 2; ++i) {
      // Bytes in [from, to] moved to start at -128, where a signed compare finds them.
      shift_[i] = _mm_set1_epi8(static_cast<char>(0x80 - leads.From(i)));
      limit_[i] = _mm_set1_epi8(static_cast<char>(-128 + (leads.To(i) - leads.From(i)) + 1));
    }
#endif
  }
  const LeadBytes& Leads() const { return leads_; }

#if GRIDLOOM_HAVE_SSE2
  // The bits of the first take bytes of the block at p (in a text up to end) that are lead
  // bytes without a trail byte. In a run of lead bytes, those at an even distance from its
  // start begin characters (adding a run's first bit where it stands at an even place clears
  // the run); trailFirst says that the block's first byte is the trail byte of the last
  // block's last, and becomes what the next block needs.
  unsigned LoneLeads(__m128i bytes, const char* p, unsigned take, const char* end,
                     unsigned& trailFirst) const {
    const unsigned valid = (1u << take) - 1;
    unsigned leads = static_cast<unsigned>(_mm_movemask_epi8(bytes)) & valid;  // high bytes
    if (leads != 0) {
      if (leads_.Ranged()) {
        leads &= static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(
            _mm_cmplt_epi8(_mm_add_epi8(bytes, shift_[0]), limit_[0]),
            _mm_cmplt_epi8(_mm_add_epi8(bytes, shift_[1]), limit_[1]))));
      } else {
        unsigned table = 0;
        for (unsigned i = 0; i < take; ++i)
          table |= unsigned{leads_[static_cast<unsigned char>(p[i])]} << i;
        leads &= table;
      }
    }
    if (leads == 0) {
      trailFirst = 0;
      return 0;
    }
    constexpr unsigned kEven = 0x5555;
    const unsigned runStarts = leads & ~(leads << 1);
    const unsigned evenRuns = leads & ~(leads + (runStarts & kEven));
    unsigned starts = (evenRuns & kEven) | (leads & ~evenRuns & ~kEven);
    starts ^= leads & ~(leads + 1) & (0u - trailFirst);
    // Before a byte below 0x40, or at the end of the text.
    const bool lastBeforeLow = p + take == end || static_cast<unsigned char>(p[take]) < 0x40;
    const unsigned lowNext =
        ((LowMask(bytes) >> 1) & (valid >> 1)) | unsigned{lastBeforeLow} << (take - 1);
    trailFirst = starts >> (take - 1) & 1;
    return starts & lowNext;
  }
#endif

 private:
  const LeadBytes& leads_;
#if GRIDLOOM_HAVE_SSE2
  __m128i shift_[2], limit_[2];
#endif
};

// How much longer escaping makes text that holds these counts of ampersands, angle brackets,
// double quotes, CR LFs, and NULs and lead bytes without a trail byte.
inline std::size_t EscapeGrowthOf(std::size_t ampersands, std::size_t angles,
                                  std::size_t quotes, std::size_t lineBreaks,
                                  std::size_t replaced = 0) {
  using escape_detail::kGrowth;
  return kGrowth[1] * ampersands + kGrowth[2] * angles + kGrowth[4] * quotes +
         escape_detail::kLineBreakGrowth * lineBreaks +
         kGrowth[escape_detail::kReplacement] * replaced;
}

// The writing of escaped text comes in two kinds: 16 bytes at a time with SSE2 (kSimd), and
// byte by byte, which defines what the other writes; and in two kinds of code page: with lead
// bytes (kDbcs) or without.

// Writes the escaped text to out and answers the end of what it wrote.
template <bool kSimd, bool kDbcs>
inline char* WriteEscapedText(char* out, const char* p, std::size_t size,
                              [[maybe_unused]] const EscapeScan& scan) {
  const char* const end = p + size;
#if GRIDLOOM_HAVE_SSE2
  if constexpr (kSimd) {
    [[maybe_unused]] unsigned trailFirst = 0;
    while (p < end) {
      const __m128i c = Load16(p);
      const std::size_t left = static_cast<std::size_t>(end - p);
      const unsigned take = left >= 16 ? 16 : static_cast<unsigned>(left);
      unsigned mask = EscapableMask(c) & ((1u << take) - 1);
      unsigned lone = 0;
      if constexpr (kDbcs) {
        lone = scan.LoneLeads(c, p, take, end, trailFirst);
        mask |= lone;
      }
      if (mask == 0) {
        Store16(out, c);
        out += take;
        p += take;
        continue;
      }
      p += escape_detail::WriteBlock(out, p, end, mask, take, lone);
    }
    return out;
  }
#endif
  while (p < end) {
    const auto byte = static_cast<unsigned char>(*p);
    if constexpr (kDbcs) {
      if (scan.Leads()[byte]) {  // a character of two bytes, or a lead byte alone
        if (end - p > 1 && static_cast<unsigned char>(p[1]) >= 0x40) {
          *out++ = *p++;
          *out++ = *p++;
        } else {
          escape_detail::WriteReplacement(out);
          ++p;
        }
        continue;
      }
    }
    if (escape_detail::kEscapeClass[byte] == 0) {
      *out++ = *p++;
    } else {
      p += escape_detail::WriteSpecial(out, p, end);
    }
  }
  return out;
}

// The same, with the common case of a short field that needs no escaping inline.
template <bool kSimd, bool kDbcs>
inline char* WriteEscaped(char* out, const char* text, std::size_t size,
                          const EscapeScan& scan) {
#if GRIDLOOM_HAVE_SSE2
  if constexpr (kSimd) {
    if (size <= 16) {
      const __m128i bytes = Load16(text);
      unsigned mask = EscapableMask(bytes) & ((1u << size) - 1);
      unsigned lone = 0;
      if constexpr (kDbcs) {
        if (size > 0) {
          unsigned trailFirst = 0;
          lone = scan.LoneLeads(bytes, text, static_cast<unsigned>(size), text + size,
                                trailFirst);
          mask |= lone;
        }
      }
      Store16(out, bytes);
      if (mask == 0) return out + size;
      escape_detail::WriteBlock(out, text, text + size, mask, static_cast<unsigned>(size),
                                lone);
      return out;
    }
  }
#endif
  return WriteEscapedText<kSimd, kDbcs>(out, text, size, scan);
}

// Whether a set of instructions writes with SSE2.
inline bool EscapesWithSse2(Isa isa) { return GRIDLOOM_HAVE_SSE2 && UsableIsa(isa) != Isa::kPlain; }

}  // namespace gridloom
