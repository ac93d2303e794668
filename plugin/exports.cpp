// The plug-in's exports. This file must not include <windows.h> (see inline_call.h).
#define GRIDLOOM_BUILDING
#include "gridloom/gridloom.h"
#include "plugin/inline_call.h"

using gridloom::plugin::AllocText;

// GRIDLOOM_VERSION_TEXT (the project's version, from the build) as a wide literal.
#define GRIDLOOM_WIDE_MACRO(macro) GRIDLOOM_WIDE(macro)

extern "C" {

int32_t GRIDLOOM_CALL GetPluginType(void) { return 1; }

BSTR GRIDLOOM_CALL GetName(void) { return AllocText(GRIDLOOM_WIDE("gridloom")); }

BSTR GRIDLOOM_CALL GetVersion(void) {
  return AllocText(GRIDLOOM_WIDE_MACRO(GRIDLOOM_VERSION_TEXT));
}

BSTR GRIDLOOM_CALL GetAuthor(void) { return AllocText(GRIDLOOM_WIDE("gridloom contributors")); }

// "&gridloom(ファイル名)": the keyword and a file name.
BSTR GRIDLOOM_CALL GetSyntax(void) {
  return AllocText(GRIDLOOM_WIDE("&gridloom(\u30D5\u30A1\u30A4\u30EB\u540D)"));
}

// "CSV形式のファイルから表を作成します.": makes a table from a file in CSV form.
BSTR GRIDLOOM_CALL GetDescription(void) {
  return AllocText(GRIDLOOM_WIDE(
      "CSV\u5F62\u5F0F\u306E\u30D5\u30A1\u30A4\u30EB\u304B\u3089\u8868\u3092\u4F5C\u6210"
      "\u3057\u307E\u3059."));
}

BSTR GRIDLOOM_CALL GetExample(void) {
  return AllocText(GRIDLOOM_WIDE("&gridloom(\"../data/table1.csv\",\"../param.ini\")"));
}

BSTR GRIDLOOM_CALL PluginInline(intptr_t, const char* argText, intptr_t, intptr_t,
                                const char* baseDir, intptr_t, intptr_t) {
  return gridloom::plugin::InlineCall(argText, baseDir);
}

}  // extern "C"
