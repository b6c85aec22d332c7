// Entry callback: the console opens with the library and closes after one key at unload. The
// memory build opens its device memory at load and closes it at unload (device/memory.h).
#include "device/memory.h"
#include "shell/keywait.h"
#include "shell/log.h"

namespace {

const char kBanner[] = "MIRDU.DLL Emulator (2000-07-09)\n";
const char kBannerUnderline[] = "-------------------------------\n";
const char kClosingPrompt[] = "\nPress ENTER to close this window\n";

void ProcessAttach()
{
    // Fails when the process already has a console; the lines then go to that one.
    AllocConsole();
    PrintLine(kBanner);
    PrintLine(kBannerUnderline);
    OpenRunMemory();
}

void ProcessDetach()
{
    PrintLine(kClosingPrompt);
    WaitForKey();
    FreeConsole();
    CloseDeviceMemory();
}

} // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID)
{
    switch (reason) {
    case DLL_PROCESS_ATTACH:
        ProcessAttach();
        break;
    case DLL_PROCESS_DETACH:
        ProcessDetach();
        break;
    }
    return TRUE;
}
