// PrintLine: the console writer behind every line the library shows.
#include "shell/log.h"

BOOL PrintLine(const char *text)
{
    // The output handle is fetched anew for every line: the client may change it.
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD written;
    return WriteConsoleA(out, text, lstrlenA(text), &written, NULL);
}
