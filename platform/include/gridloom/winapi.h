/* The Windows API that gridloom calls, by its Windows names.
 * On Windows this is the system headers and nothing else. On POSIX it declares our stand-ins
 * (libgridloom-winapi), which keep the Windows contracts: the BSTR layout of oleaut32, and
 * MultiByteToWideChar and GetPrivateProfileStringA of kernel32. */
#ifndef GRIDLOOM_WINAPI_H
#define GRIDLOOM_WINAPI_H

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <oleauto.h>
#else
#include <stdint.h>
#include <uchar.h>

#if defined(__i386__)
#define WINAPI __attribute__((stdcall))
#else
#define WINAPI
#endif

#define GRIDLOOM_WINAPI_EXPORT __attribute__((visibility("default")))

typedef int BOOL;
typedef int INT;
typedef unsigned int UINT;
typedef uint32_t DWORD;
typedef unsigned char BYTE;
typedef char16_t WCHAR;
typedef WCHAR OLECHAR;
typedef OLECHAR *BSTR;
typedef WCHAR *LPWSTR;
typedef const char *LPCSTR;
typedef const char *LPCCH;
typedef char *LPSTR;

#define CP_ACP 0
#define CP_UTF8 65001

#ifdef __cplusplus
extern "C" {
#endif

/* oleaut32: a BSTR points at the text; the 32-bit byte length sits just before it and a NUL
 * code unit follows it. A null BSTR is a valid empty string. */
GRIDLOOM_WINAPI_EXPORT BSTR WINAPI SysAllocString(const OLECHAR *text);
GRIDLOOM_WINAPI_EXPORT BSTR WINAPI SysAllocStringLen(const OLECHAR *text, UINT length);
/* Gives *text length code units: those of from (which may lie in *text; null keeps what
 * *text holds), and frees the old string. Answers nonzero on success, and leaves *text as it
 * was on failure. */
GRIDLOOM_WINAPI_EXPORT INT WINAPI SysReAllocStringLen(BSTR *text, const OLECHAR *from,
                                                      UINT length);
GRIDLOOM_WINAPI_EXPORT void WINAPI SysFreeString(BSTR text);
GRIDLOOM_WINAPI_EXPORT UINT WINAPI SysStringLen(BSTR text);

/* kernel32: code pages. Flags other than 0 are not supported (the call answers 0). */
GRIDLOOM_WINAPI_EXPORT int WINAPI MultiByteToWideChar(UINT codePage, DWORD flags, LPCCH source,
                                                      int sourceBytes, LPWSTR target,
                                                      int targetChars);
/* UTF-16 to the code page, without flags, default character or its flag (the other
 * arguments must be 0 or null): a unit that the code page lacks becomes its best fit, or "?".
 * Answers the bytes written, or needed when size is 0; 0 on failure. */
GRIDLOOM_WINAPI_EXPORT int WINAPI WideCharToMultiByte(UINT codePage, DWORD flags, const WCHAR *source,
                                                      int sourceUnits, LPSTR target, int targetBytes,
                                                      LPCCH defaultChar, BOOL *usedDefault);
GRIDLOOM_WINAPI_EXPORT UINT WINAPI GetACP(void);
/* Whether a byte is a lead byte of a double-byte character in a code page (CP_ACP: the ANSI
 * code page). */
GRIDLOOM_WINAPI_EXPORT BOOL WINAPI IsDBCSLeadByteEx(UINT codePage, BYTE testChar);

/* The ANSI code page is a system setting on Windows; here the host sets it, once, before it
 * calls the plug-in (932 until then). Answers nonzero when the code page is supported: one
 * that these stand-ins convert exactly as Windows does. */
GRIDLOOM_WINAPI_EXPORT BOOL GridloomSetACP(UINT codePage);
/* The code pages GridloomSetACP takes, in ascending order: writes up to capacity of them to
 * codePages (which may be null when capacity is 0) and answers how many there are. */
GRIDLOOM_WINAPI_EXPORT UINT GridloomAcceptedCodePages(UINT *codePages, UINT capacity);

/* kernel32: the profile reader. The file name is an ANSI path with Windows separators. */
GRIDLOOM_WINAPI_EXPORT DWORD WINAPI GetPrivateProfileStringA(LPCSTR section, LPCSTR key,
                                                             LPCSTR defaultValue, LPSTR buffer,
                                                             DWORD size, LPCSTR fileName);

#ifdef __cplusplus
}
#endif
#endif /* _WIN32 */

#endif /* GRIDLOOM_WINAPI_H */
