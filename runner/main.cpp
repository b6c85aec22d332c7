// mirdu-run.exe: runs a Windows client program with mirdu.dll unattended and keeps its log.
//
//     mirdu-run.exe [OPTIONS] [--] PROGRAM.exe [ARGS...]
//     mirdu-run.exe --serve    runs after runs, each asked for over the host channel (host.h)
#include <windows.h>

#include <cwchar>
#include <string>
#include <vector>

#include "runner/crash.h"
#include "runner/follow.h"
#include "runner/hooks.h"
#include "runner/host.h"
#include "runner/job.h"
#include "runner/paths.h"
#include "runner/options.h"
#include "runner/run.h"

namespace {

int RunWith(int argc, wchar_t **argv)
{
    ProcessChanges changes; // undone as the run ends, whichever way
    Options options;
    switch (ParseOptions(argc, argv, options, changes)) {
    case kHelpShown:
        return 0;
    case kBadOptions:
        return kExitBadOptions;
    default:
        if (options.host) {
            HostChannel::Open();
            ShowLinuxPaths();
        }
        return Run(options, changes);
    }
}

// One engine for many runs, as a Python session keeps it: the start of a process and of its
// loader is paid once. Each run is as mirdu-run.exe --host ARGS would make it, and ends with an
// "end" event that gives its exit status.
int Serve()
{
    HostChannel::Open();
    ShowLinuxPaths();
    HostChannel *host = HostChannel::Get();
    for (;;) {
        host->Send("{\"ready\": true}");
        HostCommand command;
        while (!host->Next(command)) {
            if (host->ended())
                return 0;
            WaitForSingleObject(host->arrived(), INFINITE);
        }
        if (command.verb == "quit")
            return 0;
        if (command.verb != "run")
            continue; // keys, steps or a stop that came after their run
        std::vector<std::wstring> words = {ThisProgram(), L"--host"};
        words.insert(words.end(), command.args.begin(), command.args.end());
        std::vector<wchar_t *> argv;
        for (std::wstring &word : words)
            argv.push_back(&word[0]);
        int status = RunWith((int)argv.size(), argv.data());
        host->Send("{\"end\": " + std::to_string(status) + "}");
    }
}

} // namespace

int wmain(int argc, wchar_t **argv)
{
    // mirdu-run.exe as its own helpers: --follow-console PID [--interactive] (see follow.h),
    // --crashed PID EVENT REPORTS, the prefix's debugger under Wine for the run (crash.h), and
    // --hook-thread THREAD, the other build's hook for a program's menus (hooks.h).
    if (argc == 5 && std::wcscmp(argv[1], L"--crashed") == 0)
        return HandleCrash(std::wcstoul(argv[2], nullptr, 10),
                           (HANDLE)(ULONG_PTR)std::wcstoul(argv[3], nullptr, 10), argv[4]);
    if (argc >= 3 && std::wcscmp(argv[1], L"--follow-console") == 0)
        return FollowConsoles(std::wcstoul(argv[2], nullptr, 10),
                              argc > 3 && std::wcscmp(argv[3], L"--interactive") == 0);
    if (argc == 3 && std::wcscmp(argv[1], L"--hook-thread") == 0)
        return HoldHook(std::wcstoul(argv[2], nullptr, 10));
    if (argc == 2 && std::wcscmp(argv[1], L"--serve") == 0)
        return Serve();
    return RunWith(argc, argv);
}
