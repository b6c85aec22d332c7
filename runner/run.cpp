#include "runner/run.h"

#include <windows.h>

#include <cstdio>

#include "runner/captures.h"
#include "runner/crash.h"
#include "runner/drive.h"
#include "runner/follow.h"
#include "runner/host.h"
#include "runner/paths.h"
#include "runner/image.h"
#include "runner/job.h"
#include "runner/memory.h"
#include "runner/pefile.h"
#include "runner/placement.h"
#include "runner/report.h"
#include "runner/console.h"
#include "runner/runloop.h"
#include "runner/scope.h"
#include "runner/trace.h"

namespace {

Failure FindProgram(const std::wstring &given, std::wstring &program, int &bits, bool &gui)
{
    program = FullPath(given);
    DWORD attributes = GetFileAttributesW(program.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return Fail(kExitMissing, L"no program " + given);
    if (attributes & FILE_ATTRIBUTE_DIRECTORY)
        return Fail(kExitNotWindows, given + L" is not a program file");
    return MachineBits(program, PeKind::kProgram, kExitNotWindows, bits, &gui);
}

// Why dll cannot serve a program of that many bits, empty when it can: no file, no DLL, or a
// DLL of the other machine type (otherBits).
std::wstring UnfitDll(const std::wstring &dll, int bits, bool &otherBits)
{
    otherBits = false;
    DWORD attributes = GetFileAttributesW(dll.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY))
        return L"no DLL at " + dll;
    int dllBits = 0;
    if (Failure failure = MachineBits(dll, PeKind::kDll, kExitRunner, dllBits))
        return failure.message;
    otherBits = dllBits != bits;
    return otherBits ? dll + L" is a " + std::to_wstring(dllBits) + L"-bit DLL" : L"";
}

// By default the library (file: mirdu.dll, or mirdu-memory.dll for --memory) beside
// mirdu-run.exe when it is for the program's machine type, else the other build's: the release
// holds them in win32\ and win64\, as a checkout does in build\, so that either mirdu-run.exe
// runs both kinds of program.
Failure ChooseDll(const std::wstring &given, const std::wstring &program, int bits,
                  const std::wstring &file, std::wstring &dll)
{
    const std::wstring wanted = std::to_wstring(bits) + L"-bit";
    bool otherBits;
    if (!given.empty()) {
        dll = FullPath(given);
        std::wstring why = UnfitDll(dll, bits, otherBits);
        if (why.empty())
            return {};
        return Fail(kExitRunner, otherBits ? why + L" but " + program + L" is a " + wanted +
                                                 L" program: give --dll the " + wanted +
                                                 L" mirdu.dll"
                                           : why + L"; give one with --dll PATH");
    }
    std::wstring runner = ThisProgram();
    std::wstring folder = runner.substr(0, runner.find_last_of(L'\\'));
    dll = folder + L"\\" + file;
    std::wstring why = UnfitDll(dll, bits, otherBits);
    if (why.empty())
        return {};
    why = L"beside mirdu-run.exe (" + why + L")";
    std::wstring sibling = folder.substr(0, folder.find_last_of(L'\\') + 1) + L"win" +
                           std::to_wstring(bits) + L"\\" + file;
    if (lstrcmpiW(sibling.c_str(), dll.c_str()) != 0) {
        std::wstring whySibling = UnfitDll(sibling, bits, otherBits);
        if (whySibling.empty()) {
            dll = sibling;
            return {};
        }
        why += L" or in the other build's folder (" + whySibling + L")";
    }
    return Fail(kExitRunner, program + L" is a " + wanted + L" program and there is no " +
                                 wanted + L" " + file + L" " + why + L"; give one with --dll PATH");
}

bool HasConsole() { return UniqueHandle(OpenConsole(L"CONOUT$")).valid(); }

// memory: the words on the device memory ("memory on, N bytes read back, "), or none.
std::wstring Summary(unsigned long long calls, size_t files, unsigned long long bytes,
                     const std::wstring &memory, const Ending &ending, const std::wstring &log)
{
    std::wstring summary = Plural(calls, L"call") + L" logged, " + Plural(files, L"capture file") +
                           L" written (" + std::to_wstring(bytes) + L" bytes), " + memory +
                           ending.words;
    return log.empty() ? summary : summary + L", log " + ShownPath(log);
}

struct Prepared {
    std::wstring program, dll;
    int bits = 0;
    bool gui = false;    // Windows starts it with no console: the library opens one
    bool inHelper = false; // the consoles are read by a helper: mirdu-run's own is the user's
};

Failure CheckBeforeRun(const Options &options, Prepared &prepared)
{
    if (Failure failure = FindProgram(options.program, prepared.program, prepared.bits,
                                      prepared.gui))
        return failure;
    // Whether programs of its machine type can run is the Linux runner's to tell: the kernel and
    // the Wine it has.
    std::wstring why;
    if (HostChannel *host = HostChannel::Get())
        if (host->Ask("bits", why, 30000, ", \"bits\": " + std::to_string(prepared.bits)) &&
            !why.empty())
            return Fail(kExitMissing, options.program + L" is a " +
                                          std::to_wstring(prepared.bits) +
                                          L"-bit program and cannot run here: " + why);
    prepared.inHelper = !options.host && HasConsole();
    HANDLE keys = GetStdHandle(STD_INPUT_HANDLE);
    if (options.interactive && !prepared.inHelper && (keys == NULL || keys == INVALID_HANDLE_VALUE))
        return Fail(kExitBadOptions, L"--interactive needs a console or standard input to "
                                     L"type in");
    if (Failure failure = ChooseDll(options.dll, prepared.program, prepared.bits,
                                    options.memory ? L"mirdu-memory.dll" : L"mirdu.dll",
                                    prepared.dll))
        return failure;
    return CheckSearchOrder(prepared.program, prepared.bits, prepared.dll, options.name);
}

// The program's own windows and consoles are the only ones: a console program gets a console
// without a window, a GUI program none (the library opens one), and neither gets standard
// handles.
Failure StartProgram(const Options &options, const Prepared &prepared, ChildJob &job,
                     ConsoleReader &reader)
{
    {
        // Under Wine a DLL of a name that Wine has built in would be Wine's: the program is
        // told to load the file of that name instead.
        ProcessChanges whileStarting;
        if (UnderWine()) {
            std::wstring overrides = Variable(L"WINEDLLOVERRIDES");
            std::wstring stem = options.name.substr(0, options.name.size() - 4);
            whileStarting.SetVariable(L"WINEDLLOVERRIDES",
                                      overrides + (overrides.empty() ? L"" : L";") + stem + L"=n");
        }
        if (Failure failure = job.Start(prepared.program, options.args, StandardHandles(),
                                        prepared.gui ? DETACHED_PROCESS : CREATE_NO_WINDOW))
            return failure;
    }
    if (Failure failure = reader.Start(job.process(), prepared.inHelper, options.interactive))
        return failure;
    job.Resume();
    return {};
}

std::wstring NameOf(const std::wstring &path)
{
    return path.substr(path.find_last_of(L"\\/") + 1);
}

// Where a crash happened, from the handler's note; empty when there is none.
std::wstring Where(const CrashReport &crash, const Prepared &prepared, const Options &options)
{
    wchar_t offset[32];
    swprintf(offset, 32, L"+0x%llX", crash.offset);
    if (crash.module.empty())
        return L" at address " + std::wstring(offset + 1) + L", in no module";
    std::wstring at = L" in " + crash.module + L" (" + offset + L")";
    if (lstrcmpiW(crash.module.c_str(), options.name.c_str()) == 0)
        return at + L", the library";
    if (lstrcmpiW(crash.module.c_str(), NameOf(prepared.program).c_str()) == 0)
        return at + L", the program's own code, not the library";
    return at + L", not the library";
}

// What a run holds while it goes; each part puts back what it changed when it goes.
struct RunParts {
    explicit RunParts(const Options &options)
        : host(HostChannel::Get()), fromLinux(host && UnderWine()),
          captures(options.captures.empty() ? L"F:\\" : FullPath(options.captures))
    {
    }

    ConsoleReader reader;
    LineSinks sinks;
    Trace trace;
    DriveMapping drive;
    DllPlacement placement;
    RunMemory memory; // in placement's folder: goes first
    ChildJob job;
    CrashHandling crashes;
    HostChannel *host;
    // The Linux runner makes drive F: (a staging folder whose files it moves into the capture
    // folder) and gives the capture folder; elsewhere --captures maps F: here.
    bool fromLinux;
    std::wstring captures;
    Captures before;
    HANDLE stopped = NULL; // Ctrl+C and the close of the user's console, or NULL
    bool keysOnInput = false;
};

// Everything before the program runs, then its start.
Failure SetUp(const Options &options, const Prepared &prepared, RunParts &run,
              ProcessChanges &changes)
{
    if (run.host && options.captures.empty())
        return Fail(kExitBadOptions, L"--host wants --captures DIR");
    if (Failure failure = options.log.empty() ? Failure{} : run.sinks.OpenLog(options.log))
        return failure;
    if (Failure failure = options.trace.empty() ? Failure{} : run.trace.Open(options.trace))
        return failure;
    if (!run.fromLinux)
        if (Failure failure = options.captures.empty() ? CheckDriveF()
                                                       : run.drive.Map(options.captures))
            return failure;
    run.before = ListCaptures(run.captures);
    if (Failure failure = run.placement.Place(prepared.dll, options.name, changes))
        return failure;
    if (options.memory)
        if (Failure failure = run.memory.Make(run.placement.folder(), options.preloads,
                                              [&](const std::wstring &message) {
                                                  run.sinks.Tell(message);
                                              }))
            return failure;
    run.crashes.Install(run.placement.folder() + L"\\crashes.txt");
    // Ctrl+C and the close of mirdu-run's console stop the run, when that console is the
    // user's; otherwise events of the program's consoles reach mirdu-run, and are theirs.
    run.stopped = prepared.inHelper ? WatchConsoleControl() : NULL;
    KeysFromInput &keys = KeysFromInput::OfProcess();
    run.keysOnInput = !run.host && options.interactive && keys.Start(true);
    run.trace.Start();
    if (Failure failure = StartProgram(options, prepared, run.job, run.reader))
        return failure;
    if (prepared.inHelper)
        run.job.EndOnConsoleClose();
    return {};
}

// A crash, named on standard error and in the log with where it happened where that is known;
// a crash of another process of the run too.
void ReportCrashes(const Ending &ending, const Prepared &prepared, const Options &options,
                   RunParts &run)
{
    DWORD pid = GetProcessId(run.job.process());
    bool told = false;
    for (const CrashReport &crash : run.crashes.Reports()) {
        Ending crashed = ProgramEnding(crash.code);
        std::wstring what = crash.pid == pid ? NameOf(prepared.program)
                                             : L"a process of the run (" +
                                                   std::to_wstring(crash.pid) + L")";
        told = told || crash.pid == pid;
        run.sinks.Tell(what + L" " + crashed.words + Where(crash, prepared, options));
    }
    if (ending.crashed && !told)
        run.sinks.Tell(NameOf(prepared.program) + L" " + ending.words);
}

// Once the program has gone: the prefix's debugger, the DLL's folder and F: as they were,
// and what the run could not do said.
void PutBack(const Ending &ending, const Prepared &prepared, const Options &options,
             RunParts &run, const RunLoop &loop)
{
    ReportCrashes(ending, prepared, options, run);
    run.crashes.Remove();
    if (options.memory && loop.readBack() > 0 && run.memory.Loads() == 0)
        Say(L"--memory: " + ShownPath(prepared.dll) + L" never opened the run's device memory, so "
            L"its reads answered nothing: use the memory build, mirdu-memory.dll");
    run.memory.Remove();
    run.placement.Remove();
    run.drive.Unmap();
    if (!run.reader.followed())
        Say(options.program + (prepared.gui ? L" opened no console: it did not load the DLL, and "
                                               L"nothing was logged"
                                             : L" ended before its console could be read: its "
                                               L"lines, if any, are missing"));
    if (loop.pictureTaken())
        Say(L"screenshot " + ShownPath(options.screenshot) + L" written");
    else if (!options.screenshot.empty())
        Say(L"no screenshot: " + (loop.pictureWhy().empty()
                                      ? std::wstring(L"the run came to no closing prompt, "
                                                     L"timeout or stop")
                                      : loop.pictureWhy()));
}

// The last line on standard error; for the Linux runner with its figures as data too.
void SaySummary(const RunLoop &loop, const Captures &written, const Ending &ending,
                const Options &options, HostChannel *host)
{
    unsigned long long bytes = 0;
    for (const auto &file : written)
        bytes += file.second.size;
    std::wstring memory =
        options.memory ? L"memory on, " + Plural(loop.readBack(), L"byte") + L" read back, " : L"";
    std::wstring summary =
        Summary(loop.calls(), written.size(), bytes, memory, ending, options.log);
    if (!host)
        return Say(summary);
    std::string readBack =
        options.memory ? ", \"read_back\": " + std::to_string(loop.readBack()) : "";
    host->Send("{\"say\": " + JsonString(Utf8(summary)) + ", \"summary\": {\"calls\": " +
               std::to_string(loop.calls()) + ", \"files\": " + std::to_string(written.size()) +
               ", \"bytes\": " + std::to_string(bytes) + readBack + ", \"status\": " +
               std::to_string(ending.status) + "}}");
}

// The captures counted, the image made, the trace ended and the summary said: the status.
int Conclude(const Options &options, RunParts &run, const RunLoop &loop, Ending ending)
{
    // The last captures the program closed may still be in the Linux runner's staging folder.
    std::wstring drained;
    if (run.fromLinux && !run.host->Ask("drain", drained, 60000))
        Say(L"the Linux runner did not say that the staged captures were moved: some may be "
            L"missing from the count");
    Captures written = WrittenSince(run.before, ListCaptures(run.captures));
    const std::wstring programEnding = ending.words;
    auto runnerFailed = [&](const Failure &failure) {
        Say(failure.message + (programEnding.empty() ? L"" : L"; the program's " + programEnding));
        ending = {kExitRunner, L"exit status 125"};
    };
    if (loop.failure())
        runnerFailed(loop.failure());
    if (!options.image.empty()) {
        if (Failure failure = WriteImage(run.captures, written, options.image))
            runnerFailed(failure);
        else
            Say(L"image " + ShownPath(options.image) + L" written");
    }
    LeaveOddEntries(run.captures, written);
    run.trace.Captures(InOrder(written));
    run.trace.Exit(ending.status, ending.words, ending.own,
                   options.memory ? (long long)loop.readBack() : -1);
    SaySummary(loop, written, ending, options, run.host);
    CleanedUp();
    return ending.status;
}

} // namespace

int Run(const Options &options, ProcessChanges &changes)
{
    Prepared prepared;
    if (Failure failure = CheckBeforeRun(options, prepared))
        return Say(failure.message), failure.status;
    RunParts run(options);
    if (Failure failure = SetUp(options, prepared, run, changes))
        return Say(failure.message), failure.status;
    // The Linux runner shows the lines from the events.
    run.sinks.EchoToStandardOutput(!run.host);
    StepRunner steps(options.stepTimeout);
    for (const std::wstring &step : options.steps)
        steps.Add(step);
    RunLoop loop({options, run.reader, run.sinks, run.trace, run.job, run.stopped,
                  run.keysOnInput ? &KeysFromInput::OfProcess() : nullptr, run.host, steps});
    Ending ending = loop.Watch();
    PutBack(ending, prepared, options, run, loop);
    return Conclude(options, run, loop, ending);
}
