// The plug-in's eight exports as a test reaches them. (Through pointers: on Windows
// <windows.h> declares a GetVersion of its own, so no source may see both it and the exports'
// prototypes; plugin_exports.cpp sees only the latter.)
#pragma once

#ifndef GRIDLOOM_H
#define GRIDLOOM_NO_PROTOTYPES
#endif
#include "gridloom/gridloom.h"

namespace gridloom::testsupport {

struct Exports {
  GridloomPluginTypeFn GetPluginType;
  GridloomTextFn GetName, GetVersion, GetAuthor, GetSyntax, GetDescription, GetExample;
  GridloomPluginInlineFn PluginInline;
};

// The exports of the plug-in the test is linked with.
const Exports& Plugin();

}  // namespace gridloom::testsupport
