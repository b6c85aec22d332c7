/* What the test client's parts share: the library that the load step loaded, the result
 * file, and the tools that run on it (flashtool.c, programmer.c, devicetool.c). */
#ifndef MIRDU_TESTS_CLIENT_H
#define MIRDU_TESTS_CLIENT_H

#include <windows.h>
#include <stdint.h>

extern HMODULE library;

/* One result line, flushed at once (none inside a repeat). */
void Report(const char *format, ...);
/* A step that cannot run: "STEP error WHY", then exit status 2. */
void Fail(const char *step, const char *why);

typedef uint32_t(__cdecl *TransferFn)(int32_t, void *, uint32_t, uint32_t);
/* The loaded library's call of that name, or NULL. */
TransferFn Transfer(const char *name);

/* flashtool:TITLE, until its window is closed. */
void RunFlashTool(const char *title);
/* The firmware file chosen in an Open dialog, starting from what file holds; FALSE if none. */
BOOL ChooseFirmware(HWND owner, char *file, DWORD size);
/* programmer:FIRMWARE|BACKUP; exits with its own status when it refuses or fails. */
void RunProgrammer(const char *files);
/* devicetool:TITLE, until its window is closed; forget:TITLE, what that tool remembered. */
void RunDeviceTool(const char *title);
void ForgetDeviceTool(const char *title);

#endif
