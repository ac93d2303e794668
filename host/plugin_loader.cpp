#include "plugin_loader.h"

#define GRIDLOOM_NO_PROTOTYPES
#include "gridloom/gridloom.h"
#include "gridloom/winapi.h"

#ifndef _WIN32
#include <dlfcn.h>
#endif

#include <system_error>

#include "text_io.h"

namespace gridloom::host {

#ifdef _WIN32
void* OpenLibrary(const std::filesystem::path& path, std::string& error) {
  // By its UTF-16 name: the folder it lies in may hold characters the code page lacks.
  HMODULE module = LoadLibraryW(path.c_str());
  if (module != nullptr) return reinterpret_cast<void*>(module);
  const DWORD why = GetLastError();
  std::error_code ignored;
  if (std::filesystem::is_directory(path, ignored)) {
    error = "it is a folder";
  } else if (why == ERROR_MOD_NOT_FOUND) {
    error = std::filesystem::exists(path, ignored) ? "a DLL it needs was not found" : "not found";
  } else if (why == ERROR_BAD_EXE_FORMAT) {
    error = sizeof(void*) == 4 ? "not a valid 32-bit DLL" : "not a valid 64-bit DLL";
  } else if (why == ERROR_ACCESS_DENIED) {
    error = "access denied";
  } else {
    error = "error " + std::to_string(why);
  }
  return nullptr;
}
void* FindExport(void* library, const char* name) {
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name));
}
void CloseLibrary(void* library) { FreeLibrary(static_cast<HMODULE>(library)); }
#else
void* OpenLibrary(const std::filesystem::path& path, std::string& error) {
  // A name without a slash would be searched on the library path: it is a file here.
  const std::string file = path.string().find('/') == std::string::npos ? "./" + path.string()
                                                                        : path.string();
  void* library = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) error = dlerror();
  return library;
}
void* FindExport(void* library, const char* name) { return dlsym(library, name); }
void CloseLibrary(void* library) { dlclose(library); }
#endif

namespace {

// In the order of PluginText.
constexpr const char* kTextExports[] = {"GetName",   "GetVersion",     "GetAuthor",
                                        "GetSyntax", "GetDescription", "GetExample"};

// The text of a BSTR, which is then freed.
std::u16string Take(BSTR text) {
  return std::u16string(WideText(reinterpret_cast<char16_t*>(text)).View());
}

}  // namespace

Plugin::Plugin(const std::filesystem::path& path) {
  std::string error;
  handle_ = OpenLibrary(path, error);
  const std::string shown = PathText(path);
  if (handle_ == nullptr) throw PluginError("cannot load plug-in " + shown + ": " + error);
  const auto find = [this, &shown](const char* name) {
    void* symbol = FindExport(handle_, name);
    if (symbol == nullptr) {
      CloseLibrary(handle_);
      throw PluginError("plug-in " + shown + " lacks the export " + name);
    }
    return symbol;
  };
  type_ = find("GetPluginType");
  for (int i = 0; i < 6; ++i) texts_[i] = find(kTextExports[i]);
  inline_ = find("PluginInline");
}

Plugin::~Plugin() { CloseLibrary(handle_); }

std::int32_t Plugin::Type() const { return reinterpret_cast<GridloomPluginTypeFn>(type_)(); }

std::u16string Plugin::Text(PluginText which) const {
  return Take(reinterpret_cast<GridloomTextFn>(texts_[static_cast<int>(which)])());
}

WideText Plugin::InlineText(const std::string& argText, const std::string& baseDir) const {
  const auto call = reinterpret_cast<GridloomPluginInlineFn>(inline_);
  return WideText(
      reinterpret_cast<char16_t*>(call(0, argText.c_str(), 0, 0, baseDir.c_str(), 0, 0)));
}

WideText::~WideText() { SysFreeString(reinterpret_cast<BSTR>(text_)); }

std::u16string_view WideText::View() const {
  if (text_ == nullptr) return {};
  return {text_, SysStringLen(reinterpret_cast<BSTR>(text_))};
}

}  // namespace gridloom::host
