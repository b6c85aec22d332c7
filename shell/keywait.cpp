// WaitForKey: blocks the unload until the user has pressed a key in the console.
#include "shell/handle.h"
#include "shell/keywait.h"

namespace {

// Opened the first time it is needed; the runtime's shut-down closes it, after the detach.
UniqueHandle g_consoleInput;

// Sets the console input mode to 0 for its lifetime and puts the old mode back on every way out.
class RawConsoleMode {
public:
    explicit RawConsoleMode(HANDLE input) : input_(input), saved_(GetConsoleMode(input, &mode_))
    {
        SetConsoleMode(input_, 0);
    }
    RawConsoleMode(const RawConsoleMode &) = delete;
    RawConsoleMode &operator=(const RawConsoleMode &) = delete;
    ~RawConsoleMode()
    {
        if (saved_)
            SetConsoleMode(input_, mode_);
    }

private:
    HANDLE input_;
    DWORD mode_ = 0;
    BOOL saved_;
};

} // namespace

void WaitForKey()
{
    if (!g_consoleInput.valid())
        g_consoleInput.reset(CreateFileA("CONIN$", GENERIC_READ | GENERIC_WRITE,
                                         FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING, 0,
                                         NULL));
    if (!g_consoleInput.valid())
        return;

    // Mode 0: no line input, no echo, and Ctrl+C arrives as an ordinary key. Events queued
    // before the wait are read like new ones, so a key pressed early ends it at once.
    RawConsoleMode raw(g_consoleInput.get());
    for (;;) {
        INPUT_RECORD record;
        DWORD count = 0;
        if (!ReadConsoleInputA(g_consoleInput.get(), &record, 1, &count) || count == 0)
            return;
        if (record.EventType == KEY_EVENT && KeyEndsWait(record.Event.KeyEvent))
            return;
    }
}
