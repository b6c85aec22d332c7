// mirdu-hook.dll: set by mirdu-run.exe as a WH_GETMESSAGE hook in a thread of the program it
// drives, it answers the engine's menu requests inside that thread (see protocol.h). It acts
// only on the engine's own message, which it turns into WM_NULL, and leaves every other
// message as it is.
#include <windows.h>

#include <string>

#include "hook/protocol.h"
#include "runner/names.h"
#include "shell/handle.h"

void AnswerMenu(HWND window, hook::MenuRequest &request);

namespace {

UINT RequestMessage()
{
    static UINT message = RegisterWindowMessageW(hook::kRequestMessage);
    return message;
}

// The request in its shared memory, answered and let go; one that the engine no longer waits
// for (its memory gone) is left alone.
void Answer(HWND window, DWORD engine, DWORD number)
{
    UniqueHandle mapping(OpenFileMappingW(FILE_MAP_WRITE | FILE_MAP_READ, FALSE,
                                          hook::RequestName(engine, number).c_str()));
    if (!mapping.valid())
        return;
    UniqueView view(MapViewOfFile(mapping.get(), FILE_MAP_WRITE | FILE_MAP_READ, 0, 0,
                                  sizeof(hook::MenuRequest)));
    auto request = (hook::MenuRequest *)view.get();
    if (request && request->outcome == hook::kAsked)
        AnswerMenu(window, *request);
}

} // namespace

extern "C" __declspec(dllexport) LRESULT CALLBACK MirduGetMessageHook(int code, WPARAM removed,
                                                                     LPARAM param)
{
    auto message = (MSG *)param;
    if (code == HC_ACTION && removed == PM_REMOVE && message->message == RequestMessage()) {
        message->message = WM_NULL;
        Answer(message->hwnd, (DWORD)message->wParam, (DWORD)message->lParam);
    }
    return CallNextHookEx(NULL, code, removed, param);
}
