// <windows.h> comes in below, with a GetVersion of its own: no export prototypes here.
#define GRIDLOOM_NO_PROTOTYPES
#include "plugin/wide_text.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/parallel.h"
#include "base/sizes.h"
#include "gridloom/winapi.h"

namespace gridloom::plugin {

static_assert(kAnsiCodePage == CP_ACP);

bool EndsCharacter(const char* text, std::size_t at) {
  // A byte below 0x40 is no lead or trail byte of a double-byte code page, so it ends a
  // character; the three before it are ASCII, so no UTF-8 sequence (at most four bytes) that
  // started before them is cut short by a cut after it, whatever the bytes after the cut.
  const auto byte = [text](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  return at >= 4 && byte(at - 1) < 0x40 && byte(at - 2) < 0x80 && byte(at - 3) < 0x80 &&
         byte(at - 4) < 0x80;
}

BSTR Widen(const char* html, unsigned codePage) {
  const std::size_t bytes = std::strlen(html) + 1;
  if (bytes > static_cast<std::size_t>(INT_MAX)) {  // too long for one call: ask the length
    const int length = MultiByteToWideChar(codePage, 0, html, -1, nullptr, 0);
    if (length <= 0) return nullptr;
    BSTR result = SysAllocStringLen(nullptr, static_cast<UINT>(length - 1));
    if (result != nullptr) MultiByteToWideChar(codePage, 0, html, -1, result, length);
    return result;
  }
  // No character of an ANSI code page has more code units than bytes: the text is converted
  // in one pass into a BSTR as long as it, which is then cut to the units written.
  BSTR result = SysAllocStringLen(nullptr, static_cast<UINT>(bytes - 1));
  if (result == nullptr) return nullptr;
  const int length = MultiByteToWideChar(codePage, 0, html, static_cast<int>(bytes), result,
                                         static_cast<int>(bytes));
  if (length > 0 && (static_cast<std::size_t>(length) == bytes ||
                     SysReAllocStringLen(&result, result, static_cast<UINT>(length - 1))))
    return result;
  SysFreeString(result);
  return nullptr;
}

void MoveDown(OLECHAR* to, const OLECHAR* from, std::size_t count) {
  const auto gap = static_cast<std::size_t>(from - to);
  const std::size_t half = count / 2;
  // The first half's last units lie where the second half goes: they are kept aside first.
  const std::size_t aside = std::min(gap, half);
  std::unique_ptr<OLECHAR[]> kept;
  if (PartsFor(count * sizeof(OLECHAR)) > 1) kept.reset(new (std::nothrow) OLECHAR[aside]);
  if (kept == nullptr) {
    std::memmove(to, from, count * sizeof(OLECHAR));
    return;
  }
  std::memcpy(kept.get(), from + half - aside, aside * sizeof(OLECHAR));
  RunParts(2, [&](std::size_t i) {
    if (i == 0) {
      std::memmove(to, from, (half - aside) * sizeof(OLECHAR));
    } else {
      std::memmove(to + half, from + half, (count - half) * sizeof(OLECHAR));
    }
  });
  std::memcpy(to + half - aside, kept.get(), aside * sizeof(OLECHAR));
}

WideSink::~WideSink() { SysFreeString(result_); }

namespace {

// A BSTR of length code units whose text is not set. It is made by growing an empty one: Wine
// fills a new BSTR with NULs (SysAllocStringLen with no text), a pass over all its pages in
// one thread that Windows does not make; grown, its pages are written once, by the
// conversion.
BSTR NewText(std::size_t length) {
  BSTR text = SysAllocStringLen(nullptr, 0);
  if (text != nullptr && !SysReAllocStringLen(&text, nullptr, static_cast<UINT>(length))) {
    SysFreeString(text);
    return nullptr;
  }
  return text;
}

// Text to count in pieces side by side: halves, cut where a character ends, when it is long.
std::vector<std::string_view> CountingPieces(std::string_view text) {
  std::size_t cut = text.size() / 2;
  const std::size_t stop = std::min(text.size(), cut + 4096);
  while (cut < stop && !EndsCharacter(text.data(), cut)) ++cut;
  if (PartsFor(text.size()) < 2 || cut == stop) return {text};
  return {text.substr(0, cut), text.substr(cut)};
}

// The fewest code units a part's HTML can convert to: a byte below 0x80 gives a unit of its
// own unless it is the trail byte of a character with a lead byte of 0x80 or above, and text
// that ends inside a UTF-8 sequence loses up to three bytes to it. A NUL ends the text, so
// with one there is no such bound (0).
std::size_t FewestUnits(const HtmlPart& part) {
  if (std::memchr(part.text.data(), '\0', part.text.size()) != nullptr) return 0;
  std::size_t high = part.tagHighBytes;
  for (const char c : part.text) high += static_cast<unsigned char>(c) >= 0x80;
  return part.size - std::min(part.size, high + 3);
}

}  // namespace

bool WideSink::Start(const std::vector<HtmlPart>& parts) {
  // No character of an ANSI code page has more code units than bytes: the BSTR is allocated
  // as long as the HTML's bytes and cut to the text's length at the end. Each part's stretch
  // but the last's is as long as the part converts to: its cell text is counted while the
  // BSTR is allocated.
  std::size_t bytes = 0;
  for (const HtmlPart& part : parts) bytes = SizeAdd(bytes, part.size);
  tooLong_ = bytes > kMaxWideLength;
  if (tooLong_) {
    std::size_t fewest = 0;
    for (const HtmlPart& part : parts) fewest = SizeAdd(fewest, FewestUnits(part));
    hopeless_ = fewest > kMaxWideLength;
    return false;
  }
  std::vector<std::string_view> pieces;  // of the cell text of every part but the last
  std::vector<std::size_t> owner;        // the part of each piece
  for (std::size_t i = 0; i + 1 < parts.size(); ++i) {
    for (const std::string_view piece : CountingPieces(parts[i].text)) {
      pieces.push_back(piece);
      owner.push_back(i);
    }
  }
  std::vector<int> units(pieces.size(), 0);
  const auto task = [&](std::size_t i) {
    if (i == 0) {
      result_ = NewText(bytes);
    } else if (const std::string_view piece = pieces[i - 1]; !piece.empty()) {
      units[i - 1] = MultiByteToWideChar(codePage_, 0, piece.data(), static_cast<int>(piece.size()),
                                         nullptr, 0);
    }
  };
  if (PartsFor(bytes) > 1) {
    RunParts(1 + pieces.size(), task);
  } else {  // a small table: not worth a thread
    for (std::size_t i = 0; i <= pieces.size(); ++i) task(i);
  }
  allocated_ = bytes;
  std::vector<std::size_t> shrinkage(parts.size(), 0);
  std::vector<bool> counted(parts.size(), true);
  for (std::size_t k = 0; k < pieces.size(); ++k) {
    if (!pieces[k].empty() && units[k] <= 0) counted[owner[k]] = false;  // no text of the page
    shrinkage[owner[k]] += pieces[k].size() - static_cast<std::size_t>(std::max(units[k], 0));
  }
  std::size_t total = 0;
  for (std::size_t i = 0; i < parts.size(); ++i) {
    const std::size_t size = parts[i].size;
    const std::size_t length =
        i + 1 < parts.size() && counted[i] ? size - std::min(size, shrinkage[i]) : size;
    parts_.push_back({total, total, total + length, total, length < size});
    total += length;
  }
  return result_ != nullptr && total > 0;  // empty text: an empty BSTR
}

void WideSink::Convert(Part& p, const char* bytes, std::size_t size, bool ending) {
  if (size == 0 || p.failed) return;
  // The stretch is mapped a step at a time just ahead of the conversion, so that the pages
  // are still in the cache when written, and the part of it that stays unused is not mapped.
  if (const std::size_t needed = std::min(p.written + size, p.end); p.mapped < needed) {
    const std::size_t to = std::min(std::max(needed, p.mapped + kMapStep), p.end);
    Prefault(result_ + p.mapped, (to - p.mapped) * sizeof(OLECHAR));
    p.mapped = to;
  }
  // An ending is converted with the NUL that ends the text, which is then dropped; after the
  // last stretch there is room for it (a BSTR's own).
  const std::size_t room = p.end - p.written + (ending && &p == &parts_.back() ? 1 : 0);
  if (room == 0) {  // (no room would ask for the length instead)
    p.failed = true;
    return;
  }
  const int length = MultiByteToWideChar(codePage_, 0, bytes, static_cast<int>(size),
                                         result_ + p.written, static_cast<int>(room));
  if (length <= (ending ? 1 : 0)) {
    p.failed = length <= 0;
  } else {
    p.written += static_cast<std::size_t>(length) - (ending ? 1 : 0);
  }
}

std::size_t WideSink::Write(std::size_t part, std::string_view block, bool last) {
  // A block goes up to its last place that EndsCharacter: the rest comes again with the next
  // block, so that the parts' stretches are what converting the whole text gives. Like the
  // whole text, the result ends at the first NUL.
  Part& p = parts_[part];
  if (p.stopped) return block.size();
  const auto lastEnd = [&block](std::size_t at) {  // the last place before at that ends one
    while (at > 0 && !EndsCharacter(block.data(), at)) --at;
    return at;
  };
  const std::size_t take = last ? block.size() : lastEnd(block.size());
  if (const auto* nul = static_cast<const char*>(std::memchr(block.data(), '\0', take))) {
    Convert(p, block.data(), static_cast<std::size_t>(nul - block.data()) + 1, true);
    p.stopped = true;
    return block.size();
  }
  if (last && part + 1 == parts_.size()) {  // the end of the text, with its NUL after it
    const std::size_t safe = lastEnd(take);
    Convert(p, block.data(), safe, false);
    const std::string ending = std::string(block.substr(safe)) + '\0';
    Convert(p, ending.data(), ending.size(), true);
  } else {
    Convert(p, block.data(), take, false);
  }
  p.stopped = p.failed;
  if (p.stopped) return block.size();
  // The last four bytes taken, for where the part ends.
  const std::size_t kept = std::min(p.tailSize, sizeof p.tail - std::min(take, sizeof p.tail));
  std::memmove(p.tail, p.tail + p.tailSize - kept, kept);
  const std::size_t added = std::min(take, sizeof p.tail);
  std::memcpy(p.tail + kept, block.data() + take - added, added);
  p.tailSize = kept + added;
  return take;
}

BSTR WideSink::Finish(bool& redo) {
  redo = tooLong_ && !hopeless_;
  if (result_ == nullptr) return nullptr;
  std::size_t length = 0;
  for (const Part& p : parts_) {
    if (p.failed) {
      redo = redo || p.shorter;  // perhaps for want of room
      return nullptr;
    }
    if (length != p.start) MoveDown(result_ + length, result_ + p.start, p.written - p.start);
    length += p.written - p.start;
    if (p.stopped) break;
    if (&p != &parts_.back() && !EndsCharacter(p.tail, p.tailSize)) {
      redo = true;
      return nullptr;
    }
  }
  if (length != allocated_ && !SysReAllocStringLen(&result_, result_, static_cast<UINT>(length)))
    return nullptr;
  return std::exchange(result_, nullptr);
}

}  // namespace gridloom::plugin
