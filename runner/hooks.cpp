#include "runner/hooks.h"

#include <algorithm>

#include "runner/job.h"
#include "runner/paths.h"
#include "runner/remote.h"
#include "runner/report.h"

namespace {

const int kOwnBits = (int)sizeof(void *) * 8;

// This build's folder, or the other's beside it: win32\ and win64\ in the release, as in a
// checkout's build\ and the wheel's _files\.
std::wstring BuildFolder(int bits)
{
    std::wstring program = ThisProgram();
    std::wstring own = program.substr(0, program.find_last_of(L'\\'));
    if (bits == kOwnBits)
        return own;
    return own.substr(0, own.find_last_of(L'\\') + 1) + L"win" + std::to_wstring(bits);
}

UniqueLibrary LoadHookDll(std::wstring &why)
{
    std::wstring path = BuildFolder(kOwnBits) + L"\\" + hook::kDllName;
    UniqueLibrary dll(LoadLibraryExW(path.c_str(), NULL, LOAD_WITH_ALTERED_SEARCH_PATH));
    if (!dll.valid())
        why = L"cannot load " + ShownPath(path) + L", which reads the program's menus: " +
              SystemMessage(GetLastError());
    return dll;
}

UniqueHook SetHook(HMODULE dll, DWORD thread, std::wstring &why)
{
    // Thread 0 would hook every thread of the desktop.
    if (thread == 0) {
        why = L"cannot set the hook that reads the program's menus: no thread to set it in";
        return UniqueHook();
    }
    auto procedure = (HOOKPROC)(void (*)())GetProcAddress(dll, hook::kHookProcedure);
    UniqueHook hook(procedure ? SetWindowsHookExW(WH_GETMESSAGE, procedure, dll, thread) : NULL);
    if (!hook.valid())
        why = L"cannot set the hook that reads the program's menus in its thread: " +
              SystemMessage(GetLastError());
    return hook;
}

} // namespace

struct ProgramHooks::Hooked {
    DWORD thread = 0;
    State state = kPending;
    std::wstring why;
    UniqueHook hook;                // set by this process, or
    ChildJob helper;                // held by the other build's mirdu-run.exe,
    UniqueHandle commands, answers; // whose standard input (closed: it lets go) and output
    std::string said;

    bool StartHelper(int bits)
    {
        std::wstring program = BuildFolder(bits) + L"\\mirdu-run.exe";
        SECURITY_ATTRIBUTES inherit = {sizeof inherit, NULL, TRUE};
        HANDLE inputRead, inputWrite, outputRead, outputWrite;
        if (!CreatePipe(&inputRead, &inputWrite, &inherit, 0))
            return Failed(L"cannot make a pipe: " + SystemMessage(GetLastError()));
        UniqueHandle helperInput(inputRead);
        commands.reset(inputWrite);
        if (!CreatePipe(&outputRead, &outputWrite, &inherit, 0))
            return Failed(L"cannot make a pipe: " + SystemMessage(GetLastError()));
        UniqueHandle helperOutput(outputWrite);
        answers.reset(outputRead);
        SetHandleInformation(inputWrite, HANDLE_FLAG_INHERIT, 0);
        SetHandleInformation(outputRead, HANDLE_FLAG_INHERIT, 0);
        StandardHandles handles;
        handles.input = helperInput.get();
        handles.output = helperOutput.get();
        Failure failure = helper.Start(program, {L"--hook-thread", std::to_wstring(thread)},
                                       handles, DETACHED_PROCESS);
        if (failure)
            return Failed(L"the program is a " + std::to_wstring(bits) + L"-bit one, whose menus "
                          L"the " + std::to_wstring(bits) + L"-bit mirdu-run.exe reads: " +
                          failure.message);
        helper.Resume();
        return true;
    }

    // What the helper said so far, "hooked" or "error WHY", and whether it is still there.
    void Hear()
    {
        char buffer[512];
        DWORD available = 0, got = 0;
        while (PeekNamedPipe(answers.get(), NULL, 0, NULL, &available, NULL) && available &&
               ReadFile(answers.get(), buffer, std::min<DWORD>(available, sizeof buffer), &got,
                        NULL) && got)
            said.append(buffer, got);
        size_t end = said.find('\n');
        // A helper that goes takes its hook with it, so a request would wait for nothing.
        if (WaitForSingleObject(helper.process(), 0) == WAIT_OBJECT_0 &&
            (end == std::string::npos || state == kSet))
            Failed(L"the helper that holds the hook for the program's menus ended (exit status " +
                   std::to_wstring(helper.ExitCode()) + L")");
        else if (end != std::string::npos && said.compare(0, end, "hooked") == 0)
            state = kSet;
        else if (end != std::string::npos)
            Failed(FromUtf8(said.substr(6, end - 6)));
    }

    bool Failed(const std::wstring &reason)
    {
        state = kFailed;
        why = reason;
        return false;
    }
};

ProgramHooks::ProgramHooks() = default;

ProgramHooks::~ProgramHooks()
{
    hooked_.clear();
}

ProgramHooks::State ProgramHooks::Hook(HWND window, std::wstring &why)
{
    DWORD thread = GetWindowThreadProcessId(window, NULL);
    if (thread == 0) // the window went; the step looks for it again
        return kPending;
    for (const std::unique_ptr<Hooked> &hooked : hooked_)
        if (hooked->thread == thread) {
            if (hooked->state != kFailed && hooked->helper.process())
                hooked->Hear();
            why = hooked->why;
            return hooked->state;
        }
    hooked_.emplace_back(new Hooked());
    Hooked &hooked = *hooked_.back();
    hooked.thread = thread;
    int bits = WindowBits(window);
    if (bits == 0) {
        hooked.Failed(L"cannot tell the machine type of the program: " +
                      SystemMessage(GetLastError()));
    } else if (bits != kOwnBits) {
        hooked.StartHelper(bits);
    } else if (dll_.valid() || (dll_ = LoadHookDll(hooked.why)).valid()) {
        hooked.hook = SetHook(dll_.get(), thread, hooked.why);
        hooked.state = hooked.hook.valid() ? kSet : kFailed;
    } else {
        hooked.state = kFailed;
    }
    why = hooked.why;
    return hooked.state;
}

std::unique_ptr<MenuRequest> MenuRequest::Post(HWND window, const std::wstring &path,
                                               std::wstring &why)
{
    static DWORD made = 0;
    DWORD number = ++made;
    std::unique_ptr<MenuRequest> request(new MenuRequest());
    request->mapping_.reset(CreateFileMappingW(
        INVALID_HANDLE_VALUE, NULL, PAGE_READWRITE, 0, sizeof(hook::MenuRequest),
        hook::RequestName(GetCurrentProcessId(), number).c_str()));
    if (request->mapping_.valid())
        request->view_.reset(MapViewOfFile(request->mapping_.get(), FILE_MAP_WRITE | FILE_MAP_READ,
                                           0, 0, sizeof(hook::MenuRequest)));
    if (!request->view_.valid()) {
        why = L"cannot make the memory for a menu request: " + SystemMessage(GetLastError());
        return nullptr;
    }
    lstrcpynW(request->request()->path, path.c_str(), hook::kPathChars);
    static UINT message = RegisterWindowMessageW(hook::kRequestMessage);
    if (!PostMessageW(window, message, GetCurrentProcessId(), number)) {
        why = L"cannot post to the window: " + SystemMessage(GetLastError());
        return nullptr;
    }
    request->posted_ = GetTickCount64();
    return request;
}

int HoldHook(DWORD thread)
{
    std::wstring why;
    UniqueLibrary dll = LoadHookDll(why);
    UniqueHook hook;
    if (dll.valid())
        hook = SetHook(dll.get(), thread, why);
    std::string line = hook.valid() ? "hooked\n" : "error " + Utf8(why) + "\n";
    DWORD done = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), line.data(), (DWORD)line.size(), &done, NULL);
    if (!hook.valid())
        return kExitRunner;
    char byte;
    while (ReadFile(GetStdHandle(STD_INPUT_HANDLE), &byte, 1, &done, NULL) && done) {
    }
    return 0; // the hook goes before the library
}
