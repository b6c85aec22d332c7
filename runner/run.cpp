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
#include "runner/windows.h"

namespace {

const char kPrompt[] = "Press ENTER to close this window"; // after an empty line, at unload

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

HANDLE InheritableConsole(const wchar_t *name)
{
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, NULL, TRUE};
    return CreateFileW(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                       &inherit, OPEN_EXISTING, 0, NULL);
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

struct Ending {
    int status;
    std::wstring words;
};

struct Session {
    const Options &options;
    ConsoleScreen *screen;     // mirdu-run's own console, shared with a console program
    ConsoleFollower &follower; // the consoles that the program opens itself
    LineSinks &sinks;
    ChildJob &job;
    HANDLE input, stopped;     // input: the shared console's
    Tally tally;
    unsigned long long keysSent = 0;
    Failure lost;              // the first failure of mirdu-run's own during the run
    bool pictureTaken = false;
    std::wstring pictureWhy;   // why the last picture asked for was not taken

    void Keep(const Failure &failure)
    {
        if (failure && !lost)
            lost = failure;
    }

    // Lines of one read, from one console or both.
    struct Batch {
        std::vector<std::string> lines;
        bool lastHasLineEnd = true;

        void Add(const std::vector<std::string> &more, bool moreHasLineEnd)
        {
            if (more.empty())
                return;
            lines.insert(lines.end(), more.begin(), more.end());
            lastHasLineEnd = moreHasLineEnd;
        }
    };

    void FromScreen(bool atEnd, Batch &batch)
    {
        std::vector<std::string> lines;
        bool lastHasLineEnd = true;
        if (screen)
            Keep(atEnd ? screen->Finish(lines, lastHasLineEnd) : screen->Read(lines));
        batch.Add(lines, lastHasLineEnd);
    }

    void FromFollower(bool atEnd, Batch &batch)
    {
        std::vector<std::string> lines;
        bool lastHasLineEnd = true;
        Keep(atEnd ? follower.Finish(lines, lastHasLineEnd) : follower.Read(lines));
        batch.Add(lines, lastHasLineEnd);
    }

    // Takes the lines to the sinks and, while the run goes on, answers each closing prompt once.
    bool Deliver(const Batch &batch, bool answer)
    {
        sinks.Write(batch.lines, batch.lastHasLineEnd);
        unsigned long long prompts = tally.prompts;
        tally.Add(batch.lines);
        if (answer && tally.prompts > prompts)
            TakePicture();
        for (; answer && !options.interactive && tally.prompts > keysSent; keysSent++)
            AnswerPrompt();
        return !batch.lines.empty();
    }

    // The program's windows, named on standard error and in the log: what a program that
    // does not end waits for is mostly a message box.
    void ReportWindows()
    {
        for (const std::wstring &window : DescribeWindows(job.job())) {
            Say(window);
            sinks.Note(L"mirdu-run: " + window);
        }
    }

    // The picture asked for, of the windows as they stand now; a later one replaces it.
    void TakePicture()
    {
        if (options.screenshot.empty())
            return;
        std::wstring why;
        Failure failure = SaveScreenshot(job.job(), options.screenshot, why);
        Keep(failure);
        pictureTaken = pictureTaken || (!failure && why.empty());
        if (!failure && !why.empty())
            pictureWhy = why;
    }

    bool Take(bool atEnd)
    {
        Batch batch;
        FromScreen(atEnd, batch);
        FromFollower(atEnd, batch);
        return Deliver(batch, !atEnd);
    }

    // Ends a run that did not end by itself. A console that the program opened goes with it,
    // so that one is read to its end first.
    void Halt(UINT status)
    {
        ReportWindows();
        TakePicture();
        Batch batch;
        FromFollower(true, batch);
        Deliver(batch, false);
        job.EndAll(status);
        Take(true);
    }

    // Enter goes where the library waits for it: the console the program is attached to now,
    // which after a reload is no longer the shared one.
    void AnswerPrompt()
    {
        DWORD pid = GetProcessId(job.process());
        if (screen && InThisConsole(pid))
            return PressEnter(input);
        if (!follower.started())
            Keep(follower.Start(pid, options.interactive));
        follower.PressEnter();
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
        Halt(status);
        return {status, status == kExitInterrupted
                            ? L"stopped by Ctrl+C (exit status 130)"
                            : L"stopped: the console was closed (exit status 129)"};
    }

    Ending TimedOut()
    {
        Halt(kExitTimeout);
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
    bool gui = false; // Windows starts it with no console: the library opens one
};

Failure CheckBeforeRun(const Options &options, Prepared &prepared)
{
    if (Failure failure = FindProgram(options.program, prepared.program, prepared.bits,
                                      prepared.gui))
        return failure;
    if (Failure failure = ChooseDll(options.dll, prepared.program, prepared.bits, prepared.dll))
        return failure;
    return CheckSearchOrder(prepared.program, prepared.bits, prepared.dll, options.name);
}

// A console program runs in mirdu-run's console (a hidden one of its own when it was started
// with none), with that console as its standard handles.
Failure ShareConsole(const Options &options, ConsoleScreen &screen, UniqueHandle &input,
                     UniqueHandle &output)
{
    if (!HasConsole()) {
        if (options.interactive)
            return Fail(kExitBadOptions, L"--interactive needs a console to type in; mirdu-run "
                                         L"was started without one");
        if (Failure failure = AllocateHiddenConsole())
            return failure;
    }
    if (Failure failure = screen.Open())
        return failure;
    input.reset(InheritableConsole(L"CONIN$"));
    output.reset(InheritableConsole(L"CONOUT$"));
    if (!input.valid() || !output.valid())
        return Fail(kExitRunner, L"cannot open the console for the program: " +
                                     SystemMessage(GetLastError()));
    return {};
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

    ConsoleScreen screen;
    ConsoleFollower follower;
    LineSinks sinks;
    DriveMapping drive;
    DllPlacement placement;
    ChildJob job;
    UniqueHandle input, output;
    std::wstring captures = options.captures.empty() ? L"F:\\" : FullPath(options.captures);
    Failure failure = prepared.gui ? Failure() : ShareConsole(options, screen, input, output);
    if (!failure && !options.log.empty())
        failure = sinks.OpenLog(options.log);
    if (!failure)
        failure = options.captures.empty() ? CheckDriveF() : drive.Map(options.captures);
    Captures before = ListCaptures(captures);
    if (!failure)
        failure = placement.Place(prepared.dll, options.name);
    UniqueHandle stopped(CreateEventW(NULL, TRUE, FALSE, NULL));
    WatchConsoleControl(stopped.get());
    if (!failure && !prepared.gui)
        failure = screen.Begin();
    StandardHandles handles;
    if (!prepared.gui) {
        handles.input = input.get();
        handles.output = handles.error = output.get();
    }
    if (!failure)
        failure = job.Start(prepared.program, options.args, handles, prepared.gui);
    if (!failure && prepared.gui)
        failure = follower.Start(GetProcessId(job.process()), options.interactive);
    if (failure)
        return Say(failure.message), failure.status;
    job.EndOnConsoleClose();

    sinks.EchoToStandardOutput(echo);
    Session session{options,          prepared.gui ? nullptr : &screen, follower, sinks, job,
                    input.get(),      stopped.get(), Tally(), 0, Failure(), false, L""};
    Ending ending = session.Watch();
    placement.Remove();
    drive.Unmap();
    screen.Restore();
    if (prepared.gui && !follower.followed())
        Say(prepared.program + L" opened no console: it did not load the DLL, and nothing was "
                               L"logged");
    if (session.pictureTaken)
        Say(L"screenshot " + FullPath(options.screenshot) + L" written");
    else if (!options.screenshot.empty())
        Say(L"no screenshot: " + (session.pictureWhy.empty()
                                      ? std::wstring(L"the run came to no closing prompt, "
                                                     L"timeout or stop")
                                      : session.pictureWhy));
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
