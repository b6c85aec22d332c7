#include "runner/keyboard.h"

#include "runner/report.h"

KeysFromInput &KeysFromInput::OfProcess()
{
    static KeysFromInput *keys = new KeysFromInput(); // never destroyed: see the header
    return *keys;
}

bool KeysFromInput::Start(bool fromConsole)
{
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    bool console = IsConsole(input);
    if (input == NULL || input == INVALID_HANDLE_VALUE || (console && !fromConsole))
        return false;
    HANDLE own;
    if (!DuplicateHandle(GetCurrentProcess(), input, GetCurrentProcess(), &own, 0, FALSE,
                         DUPLICATE_SAME_ACCESS))
        return false;
    input_.reset(own);
    arrived_.reset(CreateEventW(NULL, FALSE, FALSE, NULL));
    InitializeCriticalSection(&lock_);
    lockMade_ = true;
    thread_.reset(CreateThread(NULL, 0, console ? ReadConsoleKeys : Read, this, 0, NULL));
    return thread_.valid();
}

void KeysFromInput::Add(const char *keys, size_t count, bool more)
{
    EnterCriticalSection(&lock_);
    keys_.append(keys, count);
    ended_ = !more;
    LeaveCriticalSection(&lock_);
    SetEvent(arrived_.get());
}

DWORD WINAPI KeysFromInput::Read(void *self)
{
    auto keys = (KeysFromInput *)self;
    char buffer[256];
    DWORD read = 0;
    bool more;
    do {
        more = ReadFile(keys->input_.get(), buffer, sizeof buffer, &read, NULL) && read > 0;
        keys->Add(buffer, more ? read : 0, more);
    } while (more);
    return 0;
}

// The characters of the keys pressed in mirdu-run's console; Ctrl+C stays the console's own,
// which stops the run.
DWORD WINAPI KeysFromInput::ReadConsoleKeys(void *self)
{
    auto keys = (KeysFromInput *)self;
    INPUT_RECORD records[64];
    DWORD read = 0;
    bool more;
    do {
        more = ReadConsoleInputA(keys->input_.get(), records, 64, &read) && read > 0;
        std::string typed;
        for (DWORD i = 0; more && i < read; i++) {
            const KEY_EVENT_RECORD &key = records[i].Event.KeyEvent;
            if (records[i].EventType == KEY_EVENT && key.bKeyDown && key.uChar.AsciiChar)
                typed.append(key.wRepeatCount ? key.wRepeatCount : 1, key.uChar.AsciiChar);
        }
        keys->Add(typed.data(), typed.size(), more);
    } while (more);
    return 0;
}

std::string KeysFromInput::Take()
{
    if (!lockMade_)
        return "";
    EnterCriticalSection(&lock_);
    std::string keys;
    keys.swap(keys_);
    LeaveCriticalSection(&lock_);
    return keys;
}

bool KeysFromInput::ended()
{
    if (!lockMade_)
        return false;
    EnterCriticalSection(&lock_);
    bool ended = ended_;
    LeaveCriticalSection(&lock_);
    return ended;
}
