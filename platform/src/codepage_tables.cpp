// The decoding tables of the code pages, built once from iconv, as Windows keeps its NLS
// tables, with the answers Windows gives where they differ from iconv's (read off Wine).
#include <iconv.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "gridloom/winapi.h"
#include "platform/src/codepage_internal.h"

namespace gridloom::winapi {
namespace {

// The lead bytes of the double-byte code pages, as Windows has them (IsDBCSLeadByteEx, read
// off Wine): a lead byte pairs with the next byte, whether or not the pair is a character.
struct LeadBytes {
  UINT id;
  unsigned char ranges[3][2];  // first and last byte; unused ranges are {0, 0}
};
constexpr LeadBytes kLeadBytes[] = {
    {932, {{0x81, 0x9F}, {0xE0, 0xFC}}},
    {936, {{0x81, 0xFE}}},
    {949, {{0x81, 0xFE}}},
    {950, {{0x81, 0xFE}}},
};

// Where Windows converts otherwise than iconv, read off Wine.
struct SingleOverride {
  UINT id;
  unsigned char byte;
  char16_t unit;
};
struct PairRun {
  UINT id;
  unsigned char lead, firstTrail, lastTrail;
  char16_t firstUnit;
  unsigned char step;
};
#include "codepage_overrides.inc"

const LeadBytes* FindLeadBytes(UINT id) {
  for (const LeadBytes& leads : kLeadBytes) {
    if (leads.id == id) return &leads;
  }
  return nullptr;
}

// Converts bytes with iconv; true when they make exactly one UTF-16 code unit.
bool IconvOne(iconv_t cd, const unsigned char* bytes, std::size_t count, char16_t& unit) {
  iconv(cd, nullptr, nullptr, nullptr, nullptr);
  char* in = const_cast<char*>(reinterpret_cast<const char*>(bytes));
  char16_t out[4];
  char* outPtr = reinterpret_cast<char*>(out);
  std::size_t inLeft = count, outLeft = sizeof out;
  if (iconv(cd, &in, &inLeft, &outPtr, &outLeft) == static_cast<std::size_t>(-1)) return false;
  if (iconv(cd, nullptr, nullptr, &outPtr, &outLeft) == static_cast<std::size_t>(-1)) return false;
  if (sizeof out - outLeft != sizeof(char16_t)) return false;
  unit = out[0];
  return true;
}

// Windows' best-fit characters on 932 for Latin-1 letters and signs it lacks (read off Wine).
constexpr std::uint16_t kBestFit932[][2] = {
    {0x00A1, 0x21}, {0x00A2, 0x8191}, {0x00A3, 0x8192}, {0x00A5, 0x5C}, {0x00A6, 0x7C}, {0x00A9,
    0x63}, {0x00AA, 0x61}, {0x00AB, 0x81E1}, {0x00AC, 0x81CA}, {0x00AD, 0x2D}, {0x00AE, 0x52},
    {0x00AF, 0x8150}, {0x00B2, 0x32}, {0x00B3, 0x33}, {0x00B5, 0x83CA}, {0x00B7, 0x8145},
    {0x00B8, 0x8143}, {0x00B9, 0x31}, {0x00BA, 0x6F}, {0x00BB, 0x81E2}, {0x00C0, 0x41}, {0x00C1,
    0x41}, {0x00C2, 0x41}, {0x00C3, 0x41}, {0x00C4, 0x41}, {0x00C5, 0x41}, {0x00C6, 0x41},
    {0x00C7, 0x43}, {0x00C8, 0x45}, {0x00C9, 0x45}, {0x00CA, 0x45}, {0x00CB, 0x45}, {0x00CC,
    0x49}, {0x00CD, 0x49}, {0x00CE, 0x49}, {0x00CF, 0x49}, {0x00D0, 0x44}, {0x00D1, 0x4E},
    {0x00D2, 0x4F}, {0x00D3, 0x4F}, {0x00D4, 0x4F}, {0x00D5, 0x4F}, {0x00D6, 0x4F}, {0x00D8,
    0x4F}, {0x00D9, 0x55}, {0x00DA, 0x55}, {0x00DB, 0x55}, {0x00DC, 0x55}, {0x00DD, 0x59},
    {0x00DE, 0x54}, {0x00DF, 0x73}, {0x00E0, 0x61}, {0x00E1, 0x61}, {0x00E2, 0x61}, {0x00E3,
    0x61}, {0x00E4, 0x61}, {0x00E5, 0x61}, {0x00E6, 0x61}, {0x00E7, 0x63}, {0x00E8, 0x65},
    {0x00E9, 0x65}, {0x00EA, 0x65}, {0x00EB, 0x65}, {0x00EC, 0x69}, {0x00ED, 0x69}, {0x00EE,
    0x69}, {0x00EF, 0x69}, {0x00F0, 0x64}, {0x00F1, 0x6E}, {0x00F2, 0x6F}, {0x00F3, 0x6F},
    {0x00F4, 0x6F}, {0x00F5, 0x6F}, {0x00F6, 0x6F}, {0x00F8, 0x6F}, {0x00F9, 0x75}, {0x00FA,
    0x75}, {0x00FB, 0x75}, {0x00FC, 0x75}, {0x00FD, 0x79}, {0x00FE, 0x74}, {0x00FF, 0x79},
    {0x3094, 0x8394},
};

// The byte sequence that WideCharToMultiByte gives for each code unit. Where several sequences
// decode to the same character, Windows takes the lowest; on 932 the NEC-selected IBM
// extensions (lead bytes ED and EE) come after the IBM extensions they duplicate.
void BuildReverse(CodePage& page, UINT id) {
  page.reverse.assign(65536, 0);
  std::vector<bool> taken(65536, false);
  auto offer = [&](char16_t unit, std::uint16_t bytes) {
    if (taken[unit]) return;
    taken[unit] = true;
    page.reverse[unit] = bytes;
  };
  for (unsigned b = 0; b < 256; ++b) {
    if (!page.lead[b]) offer(page.single[b], static_cast<std::uint16_t>(b));
  }
  if (!page.dbcs) return;
  auto offerLead = [&](unsigned lead) {
    for (unsigned trail = 1; trail < 256; ++trail) {
      const char16_t unit = page.pairs[lead << 8 | trail];
      if (unit != page.defaultChar || (id == 932 && lead == 0x81 && trail == 0x45))
        offer(unit, static_cast<std::uint16_t>(lead << 8 | trail));
    }
  };
  const bool necSelected = id == 932;
  for (unsigned lead = 0x80; lead < 256; ++lead) {
    if (page.lead[lead] && !(necSelected && (lead == 0xED || lead == 0xEE))) offerLead(lead);
  }
  if (necSelected) {
    offerLead(0xED);
    offerLead(0xEE);
    for (const auto& [unit, bytes] : kBestFit932) offer(unit, bytes);
  }
}

// The table of the characters that high bytes start, and the lead bytes as ranges.
void BuildHigh(CodePage& page) {
  page.high.resize(128 * 256);
  for (unsigned byte = 0x80; byte < 256; ++byte) {
    for (unsigned next = 0; next < 256; ++next) {
      page.high[(byte - 0x80) << 8 | next] =
          page.lead[byte] ? page.pairs[byte << 8 | next] : page.single[byte];
    }
  }
  if (!page.dbcs) {
    page.leadRanges = true;  // none
    return;
  }
  unsigned ranges = 0;
  for (unsigned byte = 0; byte < 256; ++byte) {
    if (!page.lead[byte] || (byte > 0 && page.lead[byte - 1])) continue;
    if (ranges == 2) return;  // more than two ranges
    unsigned last = byte;
    while (last < 255 && page.lead[last + 1]) ++last;
    page.leadFrom[ranges] = static_cast<unsigned char>(byte);
    page.leadTo[ranges] = static_cast<unsigned char>(last);
    ++ranges;
  }
  if (ranges == 0) return;
  if (ranges == 1) {
    page.leadFrom[1] = page.leadFrom[0];
    page.leadTo[1] = page.leadTo[0];
  }
  page.leadRanges = true;
}

std::unique_ptr<CodePage> BuildTable(UINT id) {
  auto page = std::make_unique<CodePage>();
  if (id == CP_UTF8) {
    page->utf8 = true;
    return page;
  }
  char name[16];
  std::snprintf(name, sizeof name, "CP%u", id);
  iconv_t cd = iconv_open("UTF-16LE", name);
  if (cd == reinterpret_cast<iconv_t>(-1)) return nullptr;

  const LeadBytes* leads = FindLeadBytes(id);
  page->dbcs = leads != nullptr;
  if (leads != nullptr) {
    for (const auto& [first, last] : leads->ranges) {
      for (unsigned b = first; first != 0 && b <= last; ++b) page->lead[b] = true;
    }
  }
  // Windows' default character of the code page, given for unmapped double-byte sequences.
  page->defaultChar = id == 932 ? u'\u30FB' : u'?';
  for (unsigned b = 0; b < 256; ++b) {
    const unsigned char byte = static_cast<unsigned char>(b);
    char16_t unit;
    if (page->lead[b]) {
      page->single[b] = page->defaultChar;  // a lead byte with no trail byte
    } else if (IconvOne(cd, &byte, 1, unit)) {
      page->single[b] = unit;
    } else {
      page->single[b] = static_cast<char16_t>(b);  // unmapped single bytes map to U+00xx
    }
  }
  // Windows maps the bytes that a code page leaves free into the private use area.
  for (const SingleOverride& o : kSingleOverrides) {
    if (o.id == id) page->single[o.byte] = o.unit;
  }
  if (page->dbcs) {
    page->pairs.assign(256 * 256, page->defaultChar);
    for (unsigned lead = 0x80; lead < 256; ++lead) {
      if (!page->lead[lead]) continue;
      for (unsigned trail = 1; trail < 256; ++trail) {
        const unsigned char bytes[2] = {static_cast<unsigned char>(lead),
                                        static_cast<unsigned char>(trail)};
        char16_t unit;
        if (IconvOne(cd, bytes, 2, unit)) page->pairs[lead << 8 | trail] = unit;
      }
    }
    // The user-defined areas, and the pairs Windows maps otherwise.
    for (const PairRun& run : kPairRuns) {
      if (run.id != id) continue;
      for (unsigned trail = run.firstTrail; trail <= run.lastTrail; ++trail) {
        page->pairs[run.lead << 8 | trail] =
            static_cast<char16_t>(run.firstUnit + (trail - run.firstTrail) * run.step);
      }
    }
  }
  iconv_close(cd);
  BuildReverse(*page, id);
  BuildHigh(*page);
  return page;
}

}  // namespace

bool IsAcceptedCodePage(UINT id) {
  return std::find(std::begin(kAcceptedCodePages), std::end(kAcceptedCodePages), id) !=
         std::end(kAcceptedCodePages);
}

bool HasCodePage(UINT id) {
  if (id == CP_UTF8) return true;
  char name[16];
  std::snprintf(name, sizeof name, "CP%u", id);
  iconv_t cd = iconv_open("UTF-16LE", name);
  if (cd == reinterpret_cast<iconv_t>(-1)) return false;
  iconv_close(cd);
  return true;
}

const CodePage* FindCodePage(UINT id) {
  if (id == CP_ACP) id = GetACP();
  static std::mutex lock;
  static std::map<UINT, std::unique_ptr<CodePage>> tables;
  std::lock_guard<std::mutex> guard(lock);
  auto found = tables.find(id);
  if (found == tables.end()) found = tables.emplace(id, BuildTable(id)).first;
  return found->second.get();
}

}  // namespace gridloom::winapi
