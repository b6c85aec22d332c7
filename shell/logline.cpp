// The log line buffer and the formatting step that every exported call uses.
#include "shell/log.h"

#include <stdarg.h>

char g_logLine[kLogLineSize];

BOOL PrintFormatted(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    wvsprintfA(g_logLine, format, args);
    va_end(args);
    return PrintLine(g_logLine);
}
