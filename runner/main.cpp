// mirdu-run.exe: runs a Windows client program with mirdu.dll unattended and keeps its log.
//
//     mirdu-run.exe [OPTIONS] [--] PROGRAM.exe [ARGS...]
#include <windows.h>

#include <cwchar>

#include "runner/crash.h"
#include "runner/follow.h"
#include "runner/host.h"
#include "runner/paths.h"
#include "runner/options.h"
#include "runner/run.h"

int wmain(int argc, wchar_t **argv)
{
    // mirdu-run.exe as its own helpers: --follow-console PID [--interactive] (see follow.h),
    // and --crashed PID EVENT REPORTS, the prefix's debugger under Wine for the run (crash.h).
    if (argc == 5 && std::wcscmp(argv[1], L"--crashed") == 0)
        return HandleCrash(std::wcstoul(argv[2], nullptr, 10),
                           (HANDLE)(ULONG_PTR)std::wcstoul(argv[3], nullptr, 10), argv[4]);
    if (argc >= 3 && std::wcscmp(argv[1], L"--follow-console") == 0)
        return FollowConsoles(std::wcstoul(argv[2], nullptr, 10),
                              argc > 3 && std::wcscmp(argv[3], L"--interactive") == 0);
    Options options;
    switch (ParseOptions(argc, argv, options)) {
    case kHelpShown:
        return 0;
    case kBadOptions:
        return 2;
    default:
        if (options.host) {
            HostChannel::Open();
            ShowLinuxPaths();
        }
        return Run(options);
    }
}
