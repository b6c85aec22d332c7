// mirdu-hook.dll set in the program's threads, to read and choose its menus from inside (see
// hook/protocol.h). A hook runs only in programs of its own machine type, and is set only from
// a process of that type: for a program of this build's type the engine sets it itself; for
// one of the other's, the other build's mirdu-run.exe does, as a helper that holds the hook
// until the run ends (mirdu-run.exe --hook-thread THREAD).
#ifndef MIRDU_RUNNER_HOOKS_H
#define MIRDU_RUNNER_HOOKS_H

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "hook/protocol.h"
#include "runner/owners.h"

class ProgramHooks {
public:
    enum State { kPending, kSet, kFailed };

    ProgramHooks();
    ProgramHooks(const ProgramHooks &) = delete;
    ProgramHooks &operator=(const ProgramHooks &) = delete;
    ~ProgramHooks(); // the hooks go before the library that holds their procedure

    // Sets the hook in the thread of the window, or sees how far the setting has come. Never
    // waits: a helper that is starting is kPending. kFailed with why.
    State Hook(HWND window, std::wstring &why);

private:
    struct Hooked;
    std::vector<std::unique_ptr<Hooked>> hooked_;
    UniqueLibrary dll_; // this build's, loaded for the hooks it sets itself
};

// A menu request in its shared memory, posted to the window (see hook/protocol.h); gone with
// the object, so that the hook leaves one that nobody waits for alone.
class MenuRequest {
public:
    MenuRequest(const MenuRequest &) = delete;
    MenuRequest &operator=(const MenuRequest &) = delete;
    // Null with why when it cannot be asked.
    static std::unique_ptr<MenuRequest> Post(HWND window, const std::wstring &path,
                                             std::wstring &why);
    // kAsked until the hook has answered.
    hook::Outcome outcome() const { return (hook::Outcome)request()->outcome; }
    const hook::MenuRequest &answer() const { return *request(); }
    ULONGLONG posted() const { return posted_; }

private:
    MenuRequest() = default;
    hook::MenuRequest *request() const { return (hook::MenuRequest *)view_.get(); }
    UniqueHandle mapping_;
    UniqueView view_;
    ULONGLONG posted_ = 0;
};

// mirdu-run.exe --hook-thread THREAD: sets this build's hook in the thread, says "hooked" or
// "error WHY" on a line of standard output, and holds the hook until standard input ends.
int HoldHook(DWORD thread);

#endif
