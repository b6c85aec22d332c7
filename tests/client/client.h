/* What the parts of mirdu-client share: its result lines and the library it loaded. */
#ifndef MIRDU_TESTS_CLIENT_H
#define MIRDU_TESTS_CLIENT_H

#include <windows.h>

/* One result line, written and flushed at once. */
void Report(const char *format, ...);
/* A step that cannot run: its error line, and the client exits with status 2. */
void Fail(const char *step, const char *why);
/* The library that the load step loaded, or NULL. */
HMODULE ClientLibrary(void);

/* devicetool:TITLE and forget:TITLE (devicetool.c). */
void RunDeviceTool(const char *title);
void ForgetDeviceTool(const char *title);

#endif
