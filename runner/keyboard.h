// Keys that come on standard input when that is no console: from the Linux runner's terminal
// with --interactive, or from a pipe. A thread reads them, so that the run never waits on it;
// it may be blocked in a read until the process ends, so one object serves the process.
#ifndef MIRDU_RUNNER_KEYBOARD_H
#define MIRDU_RUNNER_KEYBOARD_H

#include <windows.h>

#include <string>

#include "shell/handle.h"

class KeysFromInput {
public:
    static KeysFromInput &OfProcess();

    // False when standard input is a console or there is none: the keyboard then is the
    // console's own.
    bool Start();
    // Set when keys came or the input ended.
    HANDLE arrived() const { return arrived_.get(); }
    // The keys that came since the last call.
    std::string Take();
    bool ended();

private:
    static DWORD WINAPI Read(void *self);

    KeysFromInput() = default;

    UniqueHandle input_, arrived_, thread_;
    CRITICAL_SECTION lock_;
    bool lockMade_ = false;
    std::string keys_;
    bool ended_ = false;
};

#endif
