// The table's HTML text converted to UTF-16 in a BSTR: in one pass (Widen), or block by
// block as it is rendered, each part of the table into a stretch of the BSTR of its own
// (WideSink). This header may not see <windows.h> either (see inline_call.h).
#pragma once

#include <cstddef>
#include <string_view>
#include <vector>

#include "gridloom/gridloom.h"
#include "table/Mygridloom.h"

namespace gridloom::plugin {

// CP_ACP, the ANSI code page.
inline constexpr unsigned kAnsiCodePage = 0;

// The longest text a BSTR of ours holds, in code units: what one MultiByteToWideChar call
// can count, its NUL included.
inline constexpr std::size_t kMaxWideLength = 0x7FFFFFFE;

// The HTML text (in codePage, by default the ANSI code page), up to its first NUL, as a BSTR
// in one pass, or null when no text could be converted: what WideSink's result must equal.
BSTR Widen(const char* html, unsigned codePage = kAnsiCodePage);

// Whether a cut of text at `at` comes after a character in every ANSI code page, whatever
// the bytes before and after: converting the two sides apart gives what converting the
// whole gives.
bool EndsCharacter(const char* text, std::size_t at);

// Moves count code units from `from` down to `to` (to < from; the two may overlap), in two
// halves side by side when there are many.
void MoveDown(OLECHAR* to, const OLECHAR* from, std::size_t count);

// A table's HTML converted into one BSTR block by block, as it is rendered. Each part is
// converted into a stretch of the BSTR; the stretches are moved together at the end where
// they do not meet. No character of an ANSI code page has more code units than bytes, and a
// part's HTML has as many fewer units than bytes as its cell text, unless its tags are not
// ASCII or its text is no proper text of the code page: every stretch but the last is as long
// as that, and a part that finds its stretch too short asks for the whole text instead.
class WideSink final : public HtmlSink {
 public:
  // codePage: the HTML's.
  explicit WideSink(unsigned codePage = kAnsiCodePage) : codePage_(codePage) {}
  WideSink(const WideSink&) = delete;
  WideSink& operator=(const WideSink&) = delete;
  ~WideSink();

  bool Start(const std::vector<HtmlPart>& parts) override;
  std::size_t Write(std::size_t part, std::string_view block, bool last) override;

  // The BSTR (the caller's now), or null when text could not be converted. redo: also null,
  // and converting the whole text may still succeed: the text may be too long for the
  // stretches, two parts meet where converting them apart need not give what the whole
  // gives, or a part's stretch was too short. Text that is too long for any BSTR whatever its
  // characters gives null without redo.
  BSTR Finish(bool& redo);

 private:
  struct Part {
    std::size_t start, written, end;  // its stretch of the BSTR, and how far it is written
    std::size_t mapped;               // and how far it is mapped
    bool shorter = false;             // the stretch is shorter than the part's bytes
    bool stopped = false;             // at a NUL, or at a failure: the rest is no text
    bool failed = false;
    char tail[4] = {};  // the last bytes converted: whether the next part can be converted apart
    std::size_t tailSize = 0;
  };
  static constexpr std::size_t kMapStep = std::size_t{1} << 19;  // code units: 1 MiB
  // Converts size bytes into the part's stretch; ending: bytes ends with the text's NUL.
  void Convert(Part& p, const char* bytes, std::size_t size, bool ending);

  unsigned codePage_;
  BSTR result_ = nullptr;
  std::size_t allocated_ = 0;  // the BSTR's length
  std::vector<Part> parts_;
  bool tooLong_ = false;   // perhaps too long for one BSTR
  bool hopeless_ = false;  // too long for one BSTR whatever its characters
};

}  // namespace gridloom::plugin
