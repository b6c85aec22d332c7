// A console through Win32: its screen buffer as the line reader sees it, and keys typed into
// its input.
#ifndef MIRDU_RUNNER_CONSOLE_H
#define MIRDU_RUNNER_CONSOLE_H

#include <windows.h>

#include "runner/rows.h"
#include "shell/handle.h"

// The size every console of the program gets, made so at its start or as soon as it is read:
// wide enough that a line of up to a thousand characters takes one row, tall enough for much
// output between two reads. Wine moves the whole buffer for every line once it is full, so no
// bigger; the reader grows it when a read finds it nearly outrun.
enum : SHORT { kConsoleColumns = 1024, kConsoleRows = 1000 };

// The input (CONIN$) or active screen buffer (CONOUT$) of this process's console;
// INVALID_HANDLE_VALUE when it has none.
HANDLE OpenConsole(const wchar_t *name);

// Attaches this process to the console of process pid, leaving the one it is in. Standard
// handles stay what they were: attaching would put the console's own in their place, and they
// are this process's channels (pipes, files, the console that started it).
bool JoinConsole(DWORD pid);
// Leaves the console joined, the standard handles as they were.
void LeaveConsole();

class ConsoleBuffer : public ScreenBuffer {
public:
    // Takes the active screen buffer of this process's console and makes it at least
    // kConsoleColumns by kConsoleRows; wasFull tells whether rows may have scrolled out before.
    bool Open(bool &wasFull);
    bool GetShape(Shape &shape) override;
    bool ReadRows(int first, int count, std::string &text) override;
    bool WriteText(int row, int column, const std::string &text) override;
    bool SetSize(int width, int height) override;

private:
    UniqueHandle output_;
};

// A key that types this character, pressed and released, written into a console's input.
// Enter ('\r' or '\n') is what ends the library's wait at unload. Enter is made without the
// keyboard layout, whose first use makes Wine start its desktop process: a third of a second.
void TypeKey(HANDLE input, char typed);

#endif
