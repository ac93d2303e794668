// The HTML converted to UTF-16 block by block, in two parts side by side: wherever
// EndsCharacter allows a cut, the BSTR is what converting the whole text in one pass gives,
// in every kind of ANSI code page.
// <windows.h> comes in with the Windows API, with a GetVersion of its own: no export prototypes.
#define GRIDLOOM_NO_PROTOTYPES
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "block_sink.h"
#include "plugin/wide_text.h"
#include "plugin_calls.h"

namespace {

using gridloom::plugin::EndsCharacter;
using gridloom::plugin::MoveDown;
using gridloom::plugin::WideSink;
using gridloom::plugin::Widen;
using gridloom::testsupport::AnsiCodePage;
using gridloom::testsupport::Take;

// The text up to its first NUL, converted in one pass.
std::u16string Whole(const std::string& text) { return Take(Widen(text.c_str())); }

// [from, to) of text converted on its own, as a side of a cut would be.
std::u16string Side(const std::string& text, std::size_t from, std::size_t to) {
  std::u16string units(to - from, u'\0');
  const int length =
      MultiByteToWideChar(CP_ACP, 0, text.data() + from, static_cast<int>(to - from),
                          reinterpret_cast<LPWSTR>(units.data()), static_cast<int>(units.size()));
  units.resize(static_cast<std::size_t>(length > 0 ? length : 0));
  return units;
}

// text through a WideSink as a table writes it: in two parts cut at partCut (none at 0),
// in blocks of blockSize bytes, announced with cellTexts (by default the parts themselves).
std::u16string SinkWiden(const std::string& text, std::size_t partCut, std::size_t blockSize,
                         bool& redo, std::vector<std::string_view> cellTexts = {}) {
  WideSink sink;
  EXPECT_EQ(gridloom::testsupport::FeedBlocks(sink, text, partCut, blockSize, cellTexts), "");
  return Take(sink.Finish(redo));
}

// Lead bytes before markup and at the end, lone trail bytes, bad and cut-short UTF-8
// sequences, four-byte characters: each text in each code page.
const std::string kTexts[] = {
    "<td>\x95\x5C\x83\x5C</td><td>\x95<td>\x95</td>\x81\x40<td>a\x95",
    "<td>\xE3\x81\x82</td><td>\xE3<td>\xE3\x81<td>\xF0\x9F\x98\x80</td>\xF0\x9F<<<>\xE3",
    "<td>\xC0\xAF\xED\xA0\x80</td>\x80\xA0\xFD\xFE\xFF<tr>\xE9t\xE9</tr>\x95",
    "1,2,3<br>\x95<br>\xE3\x81<br>\xF4\x90\x80\x80 x<y>z",
};

TEST(WideSink, CutsWhereACharacterEndsChangeNothing) {
  for (const UINT page : {932u, 936u, 65001u, 1252u}) {
    const AnsiCodePage ansi(page);
    if (!ansi.ok()) continue;  // on Windows: the system's code page only
    for (const std::string& text : kTexts) {
      const std::u16string whole = Whole(text);
      ASSERT_NE(whole, u"<null>");
      std::size_t cuts = 0;
      for (std::size_t at = 1; at < text.size(); ++at) {
        if (!EndsCharacter(text.c_str(), at)) continue;
        ++cuts;
        bool redo = true;
        EXPECT_EQ(SinkWiden(text, at, 64, redo), whole)
            << "code page " << page << ", cut at " << at;
        EXPECT_FALSE(redo);
      }
      EXPECT_GE(cuts, 3u) << text;
    }
  }
}

// The rule is not idle: cuts it refuses do change the text.
TEST(WideSink, CutsTheRuleRefusesWouldChangeTheText) {
  struct Case {
    UINT page;
    std::string text;
    std::size_t cut;
  };
  const Case cases[] = {
      {932, "ab\x95<td>", 3},          // a lead byte and the '<' it pairs with
      {65001, "ab\xE3<td>", 4},        // a UTF-8 sequence cut short takes the rest
      {65001, "ab\xF0\x9F<td>", 5},
  };
  for (const Case& c : cases) {
    const AnsiCodePage ansi(c.page);
    if (!ansi.ok()) continue;
    EXPECT_FALSE(EndsCharacter(c.text.c_str(), c.cut)) << c.text;
    EXPECT_NE(Side(c.text, 0, c.cut) + Side(c.text, c.cut, c.text.size()), Whole(c.text))
        << c.text;
  }
}

// The first part's stretch is as long as its cell text says. Cell text that converts to fewer
// units than the part's own text leaves a gap, which is closed; text that converts to more
// leaves too little room, and then the sink asks for the whole text.
TEST(WideSink, StretchesAsLongAsTheCellTextSays) {
  // How many fewer units than bytes text converts to on its own.
  const auto shrinkage = [](const std::string& text) {
    return text.size() - Side(text, 0, text.size()).size();
  };
  for (const UINT page : {932u, 936u, 65001u, 1252u}) {
    const AnsiCodePage ansi(page);
    if (!ansi.ok()) continue;  // on Windows: the system's code page only
    const std::string doubleBytes = page == CP_UTF8 ? "\xE3\x81\x82" : "\x95\x5C";
    for (const std::string& text : kTexts) {
      const std::u16string whole = Whole(text);
      for (std::size_t at = 1; at < text.size(); ++at) {
        if (!EndsCharacter(text.c_str(), at)) continue;
        const std::string first = text.substr(0, at);
        const std::string more = first + doubleBytes;   // a stretch too short, in most pages
        const std::string plain(first.size(), 'a');     // one longer than needed, or as long
        for (const std::string* cellText : {&first, &more, &plain}) {
          for (const std::size_t blockSize : {1, 7}) {
            bool redo = true;
            const std::u16string blocks = SinkWiden(text, at, blockSize, redo, {*cellText, ""});
            EXPECT_EQ(redo, shrinkage(*cellText) > shrinkage(first))
                << "code page " << page << ", cut at " << at << ", blocks of " << blockSize;
            if (!redo) {
              EXPECT_EQ(blocks, whole) << "code page " << page << ", cut at " << at;
            }
          }
        }
      }
    }
  }
}

// Many blocks of the size a table writes, in two parts cut near the middle.
TEST(WideSink, LargeTextInTwoParts) {
  std::string html;
  while (html.size() < (std::size_t{5} << 20))
    html += "<td>\x95\x5C\x83\x5C</td><td>\xE3\x81\x82</td>";
  std::size_t cut = html.size() / 2;
  while (!EndsCharacter(html.c_str(), cut)) ++cut;
  const AnsiCodePage ansi(932);
  ASSERT_TRUE(ansi.ok());
  bool redo = true;
  EXPECT_EQ(SinkWiden(html, cut, 1 << 16, redo), Whole(html));
  EXPECT_FALSE(redo);
}

// Converted block by block, in one part or two, the text is what converting it whole (up to
// its first NUL) gives; where the two parts meet at no end of a character, the sink says to
// convert the whole text instead.
TEST(WideSink, GivesWhatTheWholeTextGives) {
  std::vector<std::string> texts(std::begin(kTexts), std::end(kTexts));
  texts.push_back(std::string("<td>\x95\x5C</td><td>a\0b\x95</td>", 23));
  texts.push_back(std::string("\0<td>", 5));
  texts.push_back("");
  for (const UINT page : {932u, 65001u}) {
    const AnsiCodePage ansi(page);
    if (!ansi.ok()) continue;  // on Windows: the system's code page only
    for (const std::string& text : texts) {
      const std::u16string whole = Whole(text);
      for (std::size_t partCut = 0; partCut < text.size(); ++partCut) {
        for (const std::size_t blockSize : {1, 5, 64}) {
          bool redo = false;
          const std::u16string blocks = SinkWiden(text, partCut, blockSize, redo);
          const bool parted = partCut > 0 && text.find('\0') >= partCut;
          EXPECT_EQ(redo, parted && !EndsCharacter(text.c_str(), partCut))
              << "code page " << page << ", parts cut at " << partCut;
          if (!redo) {
            EXPECT_EQ(blocks, whole) << "code page " << page << ", parts cut at " << partCut
                                     << ", blocks of " << blockSize;
          }
        }
      }
    }
  }
}

}  // namespace

// Long moves go in two halves side by side; whatever the distance, they must move what a
// plain memmove moves.
TEST(MoveDown, MovesLikeMemmove) {
  // Long enough for two halves, and for the second to start well before the first ends.
  const std::size_t count = (std::size_t{1} << 23) + 3;
  for (const std::size_t gap : {std::size_t{1}, std::size_t{4097}, count / 2, count / 2 + 1,
                                count, 3 * count}) {
    std::vector<OLECHAR> buffer(gap + count), expected;
    for (std::size_t i = 0; i < buffer.size(); ++i) buffer[i] = static_cast<OLECHAR>(i * 7 + i / 65536);
    expected = buffer;
    std::memmove(expected.data(), expected.data() + gap, count * sizeof(OLECHAR));
    MoveDown(buffer.data(), buffer.data() + gap, count);
    EXPECT_TRUE(buffer == expected) << "gap " << gap;
  }
}
