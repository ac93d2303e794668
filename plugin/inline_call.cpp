// <windows.h> comes in below, with a GetVersion of its own: no export prototypes here.
#define GRIDLOOM_NO_PROTOTYPES
#include "plugin/inline_call.h"

#include <string>

#include "csvreader/Csvreader.h"
#include "gridloom/winapi.h"
#include "table/Mygridloom.h"

namespace gridloom::plugin {

// "<!-- 作成できませんでした -->": the table could not be made.
const OLECHAR kFailureComment[] =
    GRIDLOOM_WIDE("<!-- \u4F5C\u6210\u3067\u304D\u307E\u305B\u3093\u3067\u3057\u305F -->");

BSTR AllocText(const OLECHAR* text) noexcept { return SysAllocString(text); }

BSTR InlineCall(const char* argText, const char* baseDir, Isa isa) noexcept {
  try {
    const CSVReader arguments(argText != nullptr ? argText : "");
    const std::string base = baseDir != nullptr ? baseDir : "";
    const std::string csvPath = base + '\\' + arguments.GetField(0);
    const std::string iniPath = base + '\\' + arguments.GetField(1);
    MyGridLoom table(csvPath, iniPath, isa);
    if (table.IsCreated()) {
      bool redo = false;
      {
        WideSink sink(table.HtmlCodePage());
        table.WriteHtml(sink);
        if (BSTR result = sink.Finish(redo)) return result;
      }
      if (redo) {
        if (BSTR result = Widen(table.GetHtml(), table.HtmlCodePage())) return result;
      }
    }
  } catch (...) {
    // out of memory, or a table too large to hold: the comment below, if that can be had
  }
  return SysAllocString(kFailureComment);
}

}  // namespace gridloom::plugin
