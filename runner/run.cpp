#include "runner/run.h"

#include <windows.h>

#include <cstdio>

#include "runner/captures.h"
#include "runner/drive.h"
#include "runner/image.h"
#include "runner/job.h"
#include "runner/pefile.h"
#include "runner/placement.h"
#include "runner/report.h"
#include "runner/screen.h"

namespace {

const char kPrompt[] = "Press ENTER to close this window"; // after an empty line, at unload

Failure FindProgram(const std::wstring &given, std::wstring &program, int &bits)
{
    program = FullPath(given);
    DWORD attributes = GetFileAttributesW(program.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return Fail(kExitMissing, L"no program " + given);
    if (attributes & FILE_ATTRIBUTE_DIRECTORY)
        return Fail(kExitNotWindows, given + L" is not a program file");
    return MachineBits(program, PeKind::kProgram, kExitNotWindows, bits);
}

std::wstring DllBesideRunner()
{
    wchar_t self[MAX_PATH * 4];
    DWORD size = GetModuleFileNameW(NULL, self, ARRAYSIZE(self));
    std::wstring path(self, size);
    return path.substr(0, path.find_last_of(L'\\') + 1) + L"mirdu.dll";
}

Failure ChooseDll(const std::wstring &given, const std::wstring &program, int bits,
                  std::wstring &dll)
{
    dll = given.empty() ? DllBesideRunner() : FullPath(given);
    DWORD attributes = GetFileAttributesW(dll.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY))
        return Fail(kExitRunner, L"no DLL at " + dll +
                                     (given.empty() ? L" (beside mirdu-run.exe)" : L"") +
                                     L"; give one with --dll PATH");
    int dllBits = 0;
    if (Failure failure = MachineBits(dll, PeKind::kDll, kExitRunner, dllBits))
        return failure;
    if (dllBits != bits)
        return Fail(kExitRunner, dll + L" is a " + std::to_wstring(dllBits) + L"-bit DLL but " +
                                     program + L" is a " + std::to_wstring(bits) +
                                     L"-bit program: give --dll the " + std::to_wstring(bits) +
                                     L"-bit mirdu.dll");
    return {};
}

bool HasConsole()
{
    UniqueHandle out(CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING, 0, NULL));
    return out.valid();
}

// Started without a console (by a service or a CI agent): a hidden one of its own. The
// standard handles that were given stay as they were.
Failure AllocateHiddenConsole()
{
    const DWORD which[] = {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE};
    HANDLE saved[3];
    for (int i = 0; i < 3; i++)
        saved[i] = GetStdHandle(which[i]);
    if (!AllocConsole())
        return Fail(kExitRunner, L"cannot make a console: " + SystemMessage(GetLastError()));
    if (HWND window = GetConsoleWindow())
        ShowWindow(window, SW_HIDE);
    for (int i = 0; i < 3; i++)
        if (saved[i] != NULL && saved[i] != INVALID_HANDLE_VALUE)
            SetStdHandle(which[i], saved[i]);
    return {};
}

UniqueHandle InheritableConsole(const wchar_t *name)
{
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, NULL, TRUE};
    return UniqueHandle(CreateFileW(name, GENERIC_READ | GENERIC_WRITE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING,
                                    0, NULL));
}

// A line of the library's log: a call's name alone or followed by " : " and its values.
bool IsCallLine(const std::string &line)
{
    size_t at = line.compare(0, 3, "KVT") == 0 ? 3 : line.compare(0, 5, "ExpFn") == 0 ? 5 : 0;
    size_t name = at;
    while (at > 0 && name < line.size() && isalnum((unsigned char)line[name]))
        name++;
    return name > at && (name == line.size() || line.compare(name, 3, " : ") == 0);
}

struct Tally {
    unsigned long long calls = 0, prompts = 0;
    bool previousEmpty = false;

    void Add(const std::vector<std::string> &lines)
    {
        for (const std::string &line : lines) {
            calls += IsCallLine(line);
            prompts += line == kPrompt && previousEmpty;
            previousEmpty = line.empty();
        }
    }
};

void PressEnter(HANDLE input)
{
    INPUT_RECORD keys[2] = {};
    for (int i = 0; i < 2; i++) {
        KEY_EVENT_RECORD &key = keys[i].Event.KeyEvent;
        keys[i].EventType = KEY_EVENT;
        key.bKeyDown = i == 0;
        key.wRepeatCount = 1;
        key.wVirtualKeyCode = VK_RETURN;
        key.wVirtualScanCode = 0x1C;
        key.uChar.AsciiChar = '\r';
    }
    DWORD written;
    WriteConsoleInputA(input, keys, 2, &written);
}

struct Ending {
    int status;
    std::wstring words;
};

struct Session {
    const Options &options;
    ConsoleScreen &screen;
    LineSinks &sinks;
    ChildJob &job;
    HANDLE input, stopped;
    Tally tally;
    unsigned long long keysSent = 0;
    Failure lost;

    // Takes the new lines to the sinks and answers each closing prompt once.
    bool Take(bool atEnd)
    {
        std::vector<std::string> lines;
        bool lastHasLineEnd = true;
        Failure failure = atEnd ? screen.Finish(lines, lastHasLineEnd) : screen.Read(lines);
        if (failure && !lost)
            lost = failure;
        sinks.Write(lines, lastHasLineEnd);
        tally.Add(lines);
        for (; !options.interactive && tally.prompts > keysSent; keysSent++)
            PressEnter(input);
        return !lines.empty();
    }

    Ending Watch()
    {
        ULONGLONG start = GetTickCount64();
        bool busy = false;
        for (;;) {
            HANDLE handles[] = {job.process(), stopped};
            DWORD woke = WaitForMultipleObjects(2, handles, FALSE, busy ? 0 : 5);
            if (woke == WAIT_OBJECT_0)
                return Ended();
            busy = Take(false);
            if (int status = StopStatus())
                return Stopped(status);
            if (options.timeout > 0 && GetTickCount64() - start >= options.timeout * 1000)
                return TimedOut();
        }
    }

    Ending Ended()
    {
        Take(true);
        DWORD status = job.ExitCode();
        job.EndAll(status);
        return {(int)status, L"exit status " + std::to_wstring((int)status)};
    }

    Ending Stopped(int status)
    {
        job.EndAll(status);
        Take(true);
        return {status, status == kExitInterrupted
                            ? L"stopped by Ctrl+C (exit status 130)"
                            : L"stopped: the console was closed (exit status 129)"};
    }

    Ending TimedOut()
    {
        job.EndAll(kExitTimeout);
        Take(true);
        wchar_t words[80];
        swprintf(words, ARRAYSIZE(words), L"timed out after %g s (exit status %d)",
                 options.timeout, kExitTimeout);
        return {kExitTimeout, words};
    }
};

std::wstring Summary(const Tally &tally, const Captures &written, const Ending &ending,
                     const std::wstring &log)
{
    unsigned long long bytes = 0;
    for (const auto &file : written)
        bytes += file.second.size;
    std::wstring summary = Plural(tally.calls, L"call") + L" logged, " +
                           Plural(written.size(), L"capture file") + L" written (" +
                           std::to_wstring(bytes) + L" bytes), " + ending.words;
    return log.empty() ? summary : summary + L", log " + FullPath(log);
}

struct Prepared {
    std::wstring program, dll;
    int bits = 0;
};

Failure CheckBeforeRun(const Options &options, Prepared &prepared)
{
    if (Failure failure = FindProgram(options.program, prepared.program, prepared.bits))
        return failure;
    if (Failure failure = ChooseDll(options.dll, prepared.program, prepared.bits, prepared.dll))
        return failure;
    return CheckSearchOrder(prepared.program, prepared.bits, prepared.dll, options.name);
}

} // namespace

int Run(const Options &options)
{
    Prepared prepared;
    if (Failure failure = CheckBeforeRun(options, prepared))
        return Say(failure.message), failure.status;
    HANDLE standardOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    bool echo = standardOutput != NULL && GetFileType(standardOutput) != FILE_TYPE_UNKNOWN &&
                !IsConsole(standardOutput);
    if (!HasConsole()) {
        if (options.interactive)
            return Say(L"--interactive needs a console to type in; mirdu-run was started "
                       L"without one"),
                   kExitBadOptions;
        if (Failure failure = AllocateHiddenConsole())
            return Say(failure.message), failure.status;
    }

    ConsoleScreen screen;
    LineSinks sinks;
    DriveMapping drive;
    DllPlacement placement;
    ChildJob job;
    std::wstring captures = options.captures.empty() ? L"F:\\" : FullPath(options.captures);
    Failure failure = screen.Open();
    if (!failure && !options.log.empty())
        failure = sinks.OpenLog(options.log);
    if (!failure)
        failure = options.captures.empty() ? CheckDriveF() : drive.Map(options.captures);
    Captures before = ListCaptures(captures);
    if (!failure)
        failure = placement.Place(prepared.dll, options.name);
    UniqueHandle input = InheritableConsole(L"CONIN$"), output = InheritableConsole(L"CONOUT$");
    if (!failure && (!input.valid() || !output.valid()))
        failure = Fail(kExitRunner, L"cannot open the console for the program: " +
                                        SystemMessage(GetLastError()));
    UniqueHandle stopped(CreateEventW(NULL, TRUE, FALSE, NULL));
    WatchConsoleControl(stopped.get());
    if (!failure)
        failure = screen.Begin();
    if (!failure)
        failure = job.Start(prepared.program, options.args, input.get(), output.get());
    if (failure)
        return Say(failure.message), failure.status;

    sinks.EchoToStandardOutput(echo);
    Session session{options, screen, sinks, job, input.get(), stopped.get(), Tally(), 0, Failure()};
    Ending ending = session.Watch();
    placement.Remove();
    drive.Unmap();
    screen.Restore();
    Captures written = WrittenSince(before, ListCaptures(captures));
    const std::wstring programEnding = ending.words;
    auto runnerFailed = [&](const Failure &failure) {
        Say(failure.message + L"; the program's " + programEnding);
        ending = {kExitRunner, L"exit status 125"};
    };
    if (session.lost)
        runnerFailed(session.lost);
    if (!options.image.empty()) {
        if (Failure failure = WriteImage(captures, written, options.image))
            runnerFailed(failure);
        else
            Say(L"image " + FullPath(options.image) + L" written");
    }
    LeaveOddEntries(captures, written);
    Say(Summary(session.tally, written, ending, options.log));
    CleanedUp();
    return ending.status;
}
