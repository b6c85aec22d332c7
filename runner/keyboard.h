// Keys that come on standard input: from the Linux runner's terminal with --interactive, from a
// pipe, or typed in mirdu-run's own console with --interactive, for the program's console is
// another. A thread reads them, so that the run never waits on it; it may be blocked in a read
// until the process ends, so one object serves the process.
#ifndef MIRDU_RUNNER_KEYBOARD_H
#define MIRDU_RUNNER_KEYBOARD_H

#include <windows.h>

#include <string>

#include "shell/handle.h"

class KeysFromInput {
public:
    static KeysFromInput &OfProcess();

    // False when there is no standard input, or it is a console and fromConsole is false.
    bool Start(bool fromConsole);
    // Set when keys came or the input ended.
    HANDLE arrived() const { return arrived_.get(); }
    // The keys that came since the last call.
    std::string Take();
    bool ended();

private:
    static DWORD WINAPI Read(void *self);
    static DWORD WINAPI ReadConsoleKeys(void *self);
    void Add(const char *keys, size_t count, bool more);

    KeysFromInput() = default;

    UniqueHandle input_, arrived_, thread_;
    CRITICAL_SECTION lock_;
    bool lockMade_ = false;
    std::string keys_;
    bool ended_ = false;
};

#endif
