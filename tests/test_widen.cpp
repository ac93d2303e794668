// The HTML converted to UTF-16 in two parts side by side: wherever EndsCharacter allows a
// cut, the BSTR is what converting the whole text gives, in every kind of ANSI code page.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "gridloom/winapi.h"
#include "inline_call.h"

namespace {

using gridloom::plugin::EndsCharacter;
using gridloom::plugin::WideSink;
using gridloom::plugin::Widen;
using gridloom::plugin::WidenCut;

std::u16string Take(BSTR text) {
  if (text == nullptr) return u"<null>";
  std::u16string result(reinterpret_cast<const char16_t*>(text), SysStringLen(text));
  SysFreeString(text);
  return result;
}

std::u16string WidenAt(const std::string& text, std::size_t cut) {
  return Take(Widen(text.c_str(), text.size(), cut));
}

class AnsiCodePage {
 public:
  explicit AnsiCodePage(UINT page) : old_(GetACP()) { EXPECT_TRUE(GridloomSetACP(page)); }
  ~AnsiCodePage() { GridloomSetACP(old_); }

 private:
  UINT old_;
};

// Lead bytes before markup and at the end, lone trail bytes, bad and cut-short UTF-8
// sequences, four-byte characters: each text in each code page.
const std::string kTexts[] = {
    "<td>\x95\x5C\x83\x5C</td><td>\x95<td>\x95</td>\x81\x40<td>a\x95",
    "<td>\xE3\x81\x82</td><td>\xE3<td>\xE3\x81<td>\xF0\x9F\x98\x80</td>\xF0\x9F<<<>\xE3",
    "<td>\xC0\xAF\xED\xA0\x80</td>\x80\xA0\xFD\xFE\xFF<tr>\xE9t\xE9</tr>\x95",
    "1,2,3<br>\x95<br>\xE3\x81<br>\xF4\x90\x80\x80 x<y>z",
};

TEST(Widen, CutsWhereACharacterEndsChangeNothing) {
  for (const UINT page : {932u, 936u, 65001u, 1252u}) {
    const AnsiCodePage ansi(page);
    for (const std::string& text : kTexts) {
      const std::u16string whole = WidenAt(text, 0);
      ASSERT_NE(whole, u"<null>");
      std::size_t cuts = 0;
      for (std::size_t at = 1; at < text.size(); ++at) {
        if (!EndsCharacter(text.c_str(), at)) continue;
        ++cuts;
        EXPECT_EQ(WidenAt(text, at), whole) << "code page " << page << ", cut at " << at;
      }
      EXPECT_GE(cuts, 3u) << text;
    }
  }
}

// The rule is not idle: cuts it refuses do change the text.
TEST(Widen, CutsTheRuleRefusesWouldChangeTheText) {
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
    EXPECT_FALSE(EndsCharacter(c.text.c_str(), c.cut)) << c.text;
    EXPECT_NE(WidenAt(c.text, c.cut), WidenAt(c.text, 0)) << c.text;
  }
}

TEST(Widen, CutNearTheMiddleOfLargeText) {
  std::string html;
  while (html.size() < (std::size_t{5} << 20)) html += "<td>\x95\x5C\x83\x5C</td><td>\xE3\x81\x82</td>";
  const std::size_t cut = WidenCut(html.c_str(), html.size());
  EXPECT_GE(cut, html.size() / 2);
  EXPECT_LT(cut, html.size() / 2 + 32);
  EXPECT_TRUE(EndsCharacter(html.c_str(), cut));
  const AnsiCodePage ansi(932);
  EXPECT_EQ(WidenAt(html, cut), WidenAt(html, 0));
  EXPECT_EQ(WidenCut("<td>x</td>", 10), 0u) << "small text: no second thread";
}

// text through a WideSink as a table writes it: in two parts cut at partCut (none at 0),
// each fed blockSize bytes at a time after the bytes the sink left.
std::u16string SinkWiden(const std::string& text, std::size_t partCut, std::size_t blockSize,
                         bool& redo) {
  const std::vector<std::string> parts =
      partCut == 0 ? std::vector<std::string>{text}
                   : std::vector<std::string>{text.substr(0, partCut), text.substr(partCut)};
  WideSink sink;
  std::vector<std::size_t> sizes;
  for (const std::string& part : parts) sizes.push_back(part.size());
  if (sink.Start(sizes)) {
    for (std::size_t i = 0; i < parts.size(); ++i) {
      std::string pending;
      for (std::size_t at = 0; at < parts[i].size(); at += blockSize) {
        pending += parts[i].substr(at, blockSize);
        pending.erase(0, sink.Write(i, pending, false));
      }
      EXPECT_EQ(sink.Write(i, pending, true), pending.size()) << "the last block is taken";
    }
  }
  return Take(sink.Finish(redo));
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
    for (const std::string& text : texts) {
      const std::u16string whole = WidenAt(text.substr(0, text.find('\0')), 0);
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
