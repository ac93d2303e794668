// <windows.h> comes in below, with a GetVersion of its own: no export prototypes here.
#define GRIDLOOM_NO_PROTOTYPES
#include "plugin/inline_call.h"

#include <string>

#include "gridloom/winapi.h"
#include "plugin/call_rules.h"
#include "table/Mygridloom.h"

namespace gridloom::plugin {

BSTR AllocText(const OLECHAR* text) noexcept { return SysAllocString(text); }

BSTR InlineCall(const char* argText, const char* baseDir, Isa isa) noexcept {
  try {
    const call::Files files =
        call::FilesOf(argText != nullptr ? argText : "", baseDir != nullptr ? baseDir : "");
    MyGridLoom table(files.csv, files.ini, isa);
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
  return SysAllocStringLen(reinterpret_cast<const OLECHAR*>(call::kFailureComment.data()),
                           static_cast<UINT>(call::kFailureComment.size()));
}

}  // namespace gridloom::plugin
