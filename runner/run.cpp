#include "runner/run.h"

#include <windows.h>

#include <cstdio>

#include "runner/captures.h"
#include "runner/drive.h"
#include "runner/follow.h"
#include "runner/image.h"
#include "runner/job.h"
#include "runner/pefile.h"
#include "runner/placement.h"
#include "runner/report.h"
#include "runner/screen.h"
#include "runner/session.h"
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

// By default the mirdu.dll beside mirdu-run.exe when it is for the program's machine type,
// else the other build's: the release holds them in win32\ and win64\, as a checkout does in
// build\, so that either mirdu-run.exe runs both kinds of program.
Failure ChooseDll(const std::wstring &given, const std::wstring &program, int bits,
                  std::wstring &dll)
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
    dll = folder + L"\\mirdu.dll";
    std::wstring why = UnfitDll(dll, bits, otherBits);
    if (why.empty())
        return {};
    why = L"beside mirdu-run.exe (" + why + L")";
    std::wstring sibling = folder.substr(0, folder.find_last_of(L'\\') + 1) + L"win" +
                           std::to_wstring(bits) + L"\\mirdu.dll";
    if (lstrcmpiW(sibling.c_str(), dll.c_str()) != 0) {
        std::wstring whySibling = UnfitDll(sibling, bits, otherBits);
        if (whySibling.empty()) {
            dll = sibling;
            return {};
        }
        why += L" or in the other build's folder (" + whySibling + L")";
    }
    return Fail(kExitRunner, program + L" is a " + wanted + L" program and there is no " +
                                 wanted + L" mirdu.dll " + why + L"; give one with --dll PATH");
}

bool HasConsole() { return UniqueHandle(OpenConsole(L"CONOUT$")).valid(); }

// A hidden console for a run started without one (by a service, a CI agent or the Linux
// runner). AllocConsole's console has a window, shown or not, and under Wine making that window
// costs more than the rest of a short run. A helper started with CREATE_NO_WINDOW gets a console
// that has none: it is started early, so that it comes up while the run gets ready, and joined
// just before the program starts; the helper then goes. The standard handles that were given
// stay as they were. Wine attaches a program started with no terminal to a console that does
// not work, which has to be left first.
class WindowlessConsole {
public:
    ~WindowlessConsole()
    {
        if (holder_.valid())
            TerminateProcess(holder_.get(), 0);
    }

    void Start()
    {
        // Not in a job: the console's host is started in the helper's name and would go with it.
        std::wstring commandLine = CommandLine(ThisProgram(), {L"--hold-console"});
        STARTUPINFOW startup = {};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION started = {};
        if (!CreateProcessW(NULL, &commandLine[0], NULL, NULL, FALSE, CREATE_NO_WINDOW, NULL,
                            NULL, &startup, &started)) {
            error_ = GetLastError();
            return;
        }
        holder_.reset(started.hProcess);
        CloseHandle(started.hThread);
        pid_ = started.dwProcessId;
    }

    Failure Join()
    {
        const DWORD which[] = {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE};
        HANDLE saved[3];
        for (int i = 0; i < 3; i++)
            saved[i] = GetStdHandle(which[i]);
        FreeConsole();
        ULONGLONG deadline = GetTickCount64() + kHoldConsoleMs;
        bool joined = false;
        while (holder_.valid() && !(joined = AttachConsole(pid_))) {
            error_ = GetLastError();
            if (WaitForSingleObject(holder_.get(), 1) != WAIT_TIMEOUT ||
                GetTickCount64() > deadline)
                break;
        }
        if (holder_.valid())
            TerminateProcess(holder_.get(), 0);
        holder_.reset();
        for (int i = 0; i < 3; i++)
            if (saved[i] != NULL && saved[i] != INVALID_HANDLE_VALUE)
                SetStdHandle(which[i], saved[i]);
        if (!joined)
            return Fail(kExitRunner, L"cannot make a console: " + SystemMessage(error_));
        return {};
    }

private:
    UniqueHandle holder_;
    DWORD pid_ = 0, error_ = 0;
};

std::wstring Summary(unsigned long long calls, const Captures &written, const Ending &ending,
                     const std::wstring &log)
{
    unsigned long long bytes = 0;
    for (const auto &file : written)
        bytes += file.second.size;
    std::wstring summary = Plural(calls, L"call") + L" logged, " +
                           Plural(written.size(), L"capture file") + L" written (" +
                           std::to_wstring(bytes) + L" bytes), " + ending.words;
    return log.empty() ? summary : summary + L", log " + FullPath(log);
}

struct Prepared {
    std::wstring program, dll;
    int bits = 0;
    bool gui = false;         // Windows starts it with no console: the library opens one
    bool joinConsole = false; // in a windowless console of mirdu-run's own
};

// A console program runs in mirdu-run's console, or in a hidden one of its own when mirdu-run
// was started with none: that one is on its way when this returns.
Failure CheckBeforeRun(const Options &options, Prepared &prepared, WindowlessConsole &windowless)
{
    if (Failure failure = FindProgram(options.program, prepared.program, prepared.bits,
                                      prepared.gui))
        return failure;
    if (!prepared.gui && !HasConsole()) {
        HANDLE keys = GetStdHandle(STD_INPUT_HANDLE);
        if (options.interactive && (keys == NULL || keys == INVALID_HANDLE_VALUE))
            return Fail(kExitBadOptions, L"--interactive needs a console or standard input to "
                                         L"type in");
        windowless.Start();
        prepared.joinConsole = true;
    }
    if (Failure failure = ChooseDll(options.dll, prepared.program, prepared.bits, prepared.dll))
        return failure;
    return CheckSearchOrder(prepared.program, prepared.bits, prepared.dll, options.name);
}

// A console program runs in mirdu-run's console, with that console as its standard handles.
Failure ShareConsole(const Prepared &prepared, WindowlessConsole &windowless,
                     ConsoleScreen &screen, UniqueHandle &input, UniqueHandle &output)
{
    if (prepared.joinConsole)
        if (Failure failure = windowless.Join())
            return failure;
    if (Failure failure = screen.Open())
        return failure;
    input.reset(OpenConsole(L"CONIN$", true));
    output.reset(OpenConsole(L"CONOUT$", true));
    if (!input.valid() || !output.valid())
        return Fail(kExitRunner, L"cannot open the console for the program: " +
                                     SystemMessage(GetLastError()));
    return {};
}

} // namespace

int Run(const Options &options)
{
    Prepared prepared;
    WindowlessConsole windowless;
    if (Failure failure = CheckBeforeRun(options, prepared, windowless))
        return Say(failure.message), failure.status;
    HANDLE standardOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    bool echo = standardOutput != NULL && GetFileType(standardOutput) != FILE_TYPE_UNKNOWN &&
                !IsConsole(standardOutput);

    ConsoleScreen screen;
    ConsoleFollower follower;
    LineSinks sinks;
    Trace trace;
    DriveMapping drive;
    DllPlacement placement;
    ChildJob job;
    UniqueHandle input, output;
    std::wstring captures = options.captures.empty() ? L"F:\\" : FullPath(options.captures);
    Failure failure;
    if (!options.log.empty())
        failure = sinks.OpenLog(options.log);
    if (!failure && !options.trace.empty())
        failure = trace.Open(options.trace);
    if (!failure)
        failure = options.captures.empty() ? CheckDriveF() : drive.Map(options.captures);
    Captures before = ListCaptures(captures);
    if (!failure)
        failure = placement.Place(prepared.dll, options.name);
    if (!failure && !prepared.gui)
        failure = ShareConsole(prepared, windowless, screen, input, output);
    UniqueHandle stopped(CreateEventW(NULL, TRUE, FALSE, NULL));
    WatchConsoleControl(stopped.get());
    KeysFromInput &keys = KeysFromInput::OfProcess();
    bool keysOnInput = (options.interactive || options.host) && keys.Start();
    if (!failure && !prepared.gui)
        failure = screen.Begin();
    StandardHandles handles;
    if (!prepared.gui) {
        handles.input = input.get();
        handles.output = handles.error = output.get();
    }
    trace.Start();
    if (!failure)
        failure = job.Start(prepared.program, options.args, handles, prepared.gui);
    if (!failure && prepared.gui)
        failure = follower.Start(GetProcessId(job.process()), options.interactive);
    if (failure)
        return Say(failure.message), failure.status;
    job.EndOnConsoleClose();

    sinks.EchoToStandardOutput(echo);
    StepRunner steps(options.stepTimeout);
    for (const std::wstring &step : options.steps)
        steps.Add(step);
    Session session({options, prepared.gui ? nullptr : &screen, input.get(), follower, sinks,
                     trace, job, stopped.get(), keysOnInput ? &keys : nullptr, steps});
    Ending ending = session.Watch();
    placement.Remove();
    drive.Unmap();
    screen.Restore();
    if (prepared.gui && !follower.followed())
        Say(prepared.program + L" opened no console: it did not load the DLL, and nothing was "
                               L"logged");
    if (session.pictureTaken())
        Say(L"screenshot " + FullPath(options.screenshot) + L" written");
    else if (!options.screenshot.empty())
        Say(L"no screenshot: " + (session.pictureWhy().empty()
                                      ? std::wstring(L"the run came to no closing prompt, "
                                                     L"timeout or stop")
                                      : session.pictureWhy()));
    Captures written = WrittenSince(before, ListCaptures(captures));
    const std::wstring programEnding = ending.words;
    auto runnerFailed = [&](const Failure &failure) {
        Say(failure.message + L"; the program's " + programEnding);
        ending = {kExitRunner, L"exit status 125"};
    };
    if (session.failure())
        runnerFailed(session.failure());
    if (!options.image.empty()) {
        if (Failure failure = WriteImage(captures, written, options.image))
            runnerFailed(failure);
        else
            Say(L"image " + FullPath(options.image) + L" written");
    }
    LeaveOddEntries(captures, written);
    trace.Exit(ending.status, ending.words);
    // The Linux runner says its own summary: it knows where the captures went.
    if (!options.host)
        Say(Summary(session.calls(), written, ending, options.log));
    CleanedUp();
    return ending.status;
}
