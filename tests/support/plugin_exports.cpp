// The exports of the plug-in linked into the test: this source sees their prototypes, and no
// <windows.h>.
#include "gridloom/gridloom.h"
#include "plugin_exports.h"

namespace gridloom::testsupport {

const Exports& Plugin() {
  static const Exports exports = {&::GetPluginType, &::GetName,        &::GetVersion,
                                  &::GetAuthor,     &::GetSyntax,      &::GetDescription,
                                  &::GetExample,    &::PluginInline};
  return exports;
}

}  // namespace gridloom::testsupport
