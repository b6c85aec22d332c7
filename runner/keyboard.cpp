#include "runner/keyboard.h"

#include "runner/report.h"

KeysFromInput &KeysFromInput::OfProcess()
{
    static KeysFromInput *keys = new KeysFromInput(); // never destroyed: see the header
    return *keys;
}

bool KeysFromInput::Start()
{
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    if (input == NULL || input == INVALID_HANDLE_VALUE || IsConsole(input))
        return false;
    HANDLE own;
    if (!DuplicateHandle(GetCurrentProcess(), input, GetCurrentProcess(), &own, 0, FALSE,
                         DUPLICATE_SAME_ACCESS))
        return false;
    input_.reset(own);
    arrived_.reset(CreateEventW(NULL, FALSE, FALSE, NULL));
    InitializeCriticalSection(&lock_);
    lockMade_ = true;
    thread_.reset(CreateThread(NULL, 0, Read, this, 0, NULL));
    return thread_.valid();
}

DWORD WINAPI KeysFromInput::Read(void *self)
{
    auto keys = (KeysFromInput *)self;
    char buffer[256];
    DWORD read = 0;
    bool more;
    do {
        more = ReadFile(keys->input_.get(), buffer, sizeof buffer, &read, NULL) && read > 0;
        EnterCriticalSection(&keys->lock_);
        keys->keys_.append(buffer, more ? read : 0);
        keys->ended_ = !more;
        LeaveCriticalSection(&keys->lock_);
        SetEvent(keys->arrived_.get());
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
