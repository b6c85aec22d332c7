// The library's one channel of output: the console log.
#ifndef MIRDU_SHELL_LOG_H
#define MIRDU_SHELL_LOG_H

#include <windows.h>

// The process-wide buffer that every call formats its line into. The longest line is
// 63 characters, so 100 bytes never fill.
enum { kLogLineSize = 100 };
extern char g_logLine[kLogLineSize];

// Writes one zero-terminated text to the console; nonzero when it was written. It adds no
// line feed. This is also the seam that the unit tests replace with a recorder.
BOOL PrintLine(const char *text);

// Formats one line into g_logLine with wsprintfA conversions and prints it.
BOOL PrintFormatted(const char *format, ...);

#endif
