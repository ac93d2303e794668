/* gridloom: the eight exports of the plug-in, for hosts written in C or C++.
 *
 * A host loads the library at run time (LoadLibrary or dlopen), looks each export up by its
 * undecorated name, and frees every BSTR it receives with SysFreeString (oleaut32 on
 * Windows, libgridloom-winapi elsewhere). Every export may be called from any thread.
 *
 * On Windows, <windows.h> declares a GetVersion of its own: a host that includes it defines
 * GRIDLOOM_NO_PROTOTYPES and uses the function pointer types below. */
#ifndef GRIDLOOM_H
#define GRIDLOOM_H

#include <stdint.h>

#ifdef _WIN32
#include <wchar.h>
#define GRIDLOOM_CALL __stdcall
typedef wchar_t OLECHAR;
#else
#if !defined(__cplusplus)
#include <uchar.h>
#endif
#if defined(__i386__)
#define GRIDLOOM_CALL __attribute__((stdcall))
#else
#define GRIDLOOM_CALL
#endif
typedef char16_t OLECHAR;
#endif
typedef OLECHAR *BSTR;

#if defined(GRIDLOOM_BUILDING) && !defined(_WIN32)
#define GRIDLOOM_API __attribute__((visibility("default")))
#else
#define GRIDLOOM_API /* on Windows the module definition file names the exports */
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Function pointer types, one for each shape of export. */
typedef int32_t(GRIDLOOM_CALL *GridloomPluginTypeFn)(void);
typedef BSTR(GRIDLOOM_CALL *GridloomTextFn)(void);
/* Positions 1, 3, 4, 6 and 7 are not read. argText holds the arguments of the inline call
 * (a CSV file name and an INI file name, comma-separated, each usually in double quotes);
 * baseDir is the folder both names are resolved against. Both are in the ANSI code page. */
typedef BSTR(GRIDLOOM_CALL *GridloomPluginInlineFn)(intptr_t, const char *argText, intptr_t,
                                                    intptr_t, const char *baseDir, intptr_t,
                                                    intptr_t);

#ifndef GRIDLOOM_NO_PROTOTYPES
GRIDLOOM_API int32_t GRIDLOOM_CALL GetPluginType(void); /* always 1 */
GRIDLOOM_API BSTR GRIDLOOM_CALL GetName(void);
GRIDLOOM_API BSTR GRIDLOOM_CALL GetVersion(void);
GRIDLOOM_API BSTR GRIDLOOM_CALL GetAuthor(void);
GRIDLOOM_API BSTR GRIDLOOM_CALL GetSyntax(void);
GRIDLOOM_API BSTR GRIDLOOM_CALL GetDescription(void);
GRIDLOOM_API BSTR GRIDLOOM_CALL GetExample(void);
/* The HTML table, or the comment "<!-- 作成できませんでした -->" when the CSV file cannot
 * be opened. */
GRIDLOOM_API BSTR GRIDLOOM_CALL PluginInline(intptr_t reserved1, const char *argText,
                                             intptr_t reserved3, intptr_t reserved4,
                                             const char *baseDir, intptr_t reserved6,
                                             intptr_t reserved7);
#endif

#ifdef __cplusplus
}
#endif

#endif /* GRIDLOOM_H */
