/* Prints the plug-in's name, version and type, then the table of the inline call given as
 * its arguments (argument text, base directory), and frees every BSTR it receives. */
#include <gridloom/gridloom.h>
#include <gridloom/winapi.h>
#include <stdio.h>

/* The UTF-16 text as UTF-8 (the plug-in's texts hold no surrogate pairs we care about here:
 * a lone surrogate is printed as U+FFFD). */
static void Print(BSTR text) {
  UINT length = SysStringLen(text);
  for (UINT i = 0; i < length; ++i) {
    unsigned c = text[i];
    if (c >= 0xD800 && c < 0xE000) c = 0xFFFD;
    if (c < 0x80) {
      putchar((int)c);
    } else if (c < 0x800) {
      putchar((int)(0xC0 | c >> 6));
      putchar((int)(0x80 | (c & 0x3F)));
    } else {
      putchar((int)(0xE0 | c >> 12));
      putchar((int)(0x80 | ((c >> 6) & 0x3F)));
      putchar((int)(0x80 | (c & 0x3F)));
    }
  }
  SysFreeString(text);
}

int main(int argc, char **argv) {
  Print(GetName());
  putchar(' ');
  Print(GetVersion());
  printf(" type %d\n", (int)GetPluginType());
  if (argc == 3) {
    Print(PluginInline(0, argv[1], 0, 0, argv[2], 0, 0));
    putchar('\n');
  }
  return 0;
}
