#include "runner/runloop.h"

#include <cstdio>

#include "runner/windows.h"

namespace {

// How often the consoles are read when nothing came: at once while the program has no
// console yet, since the reader should be in the console it makes before it can end.
const DWORD kIdleMs = 5, kUnreadMs = 1;

} // namespace

void RunLoop::Keep(const Failure &failure)
{
    if (failure && !failure_)
        failure_ = failure;
}

// Takes the lines to the sinks and the trace and, while the run goes on, answers each closing
// prompt once.
bool RunLoop::Deliver(const std::vector<std::string> &lines, bool lastHasLineEnd, bool answer)
{
    p_.sinks.Write(lines, lastHasLineEnd);
    std::vector<LogLine> parsed;
    unsigned long long prompts = prompts_;
    for (const std::string &line : lines) {
        parsed.push_back(reader_.Next(line));
        calls_ += parsed.back().kind == LogLine::kCall;
        prompts_ += parsed.back().kind == LogLine::kPrompt;
    }
    p_.trace.Lines(lines, parsed, lastHasLineEnd);
    stepLines_.insert(stepLines_.end(), lines.begin(), lines.end());
    if (answer && prompts_ > prompts)
        TakePicture();
    for (; answer && !p_.options.interactive && prompts_ > keysSent_; keysSent_++) {
        p_.reader.Type('\r');
        p_.trace.Key();
    }
    return !lines.empty();
}

bool RunLoop::Take(bool atEnd)
{
    std::vector<std::string> lines;
    bool lastHasLineEnd = true;
    Keep(atEnd ? p_.reader.Finish(lines, lastHasLineEnd) : p_.reader.Read(lines));
    return Deliver(lines, lastHasLineEnd, !atEnd);
}

void RunLoop::PassKeys()
{
    if (!p_.keys)
        return;
    for (char key : p_.keys->Take())
        if (p_.options.interactive)
            p_.reader.Type(key);
}

// The program's windows, named on standard error, in the log and in the trace: what a
// program that does not end waits for is mostly a message box.
void RunLoop::ReportWindows()
{
    for (const std::wstring &window : DescribeWindows(p_.job.job())) {
        p_.sinks.Tell(window);
        p_.trace.Window(window);
    }
}

// The picture asked for, of the windows as they stand now; a later one replaces it.
void RunLoop::TakePicture()
{
    if (p_.options.screenshot.empty())
        return;
    std::wstring why;
    Failure failure = SaveScreenshot(p_.job.job(), p_.options.screenshot, why);
    Keep(failure);
    pictureTaken_ = pictureTaken_ || (!failure && why.empty());
    if (!failure && !why.empty())
        pictureWhy_ = why;
}

// Ends a run that did not end by itself: the windows are named while they are there, then the
// program's processes are ended, then its console is read to its end (the reader's attachment
// and the console's host, which is ended last, keep it), and then the rest goes. quick: the
// system ends mirdu-run soon (its console was closed), so only what keeps the log whole is
// done.
void RunLoop::Halt(UINT status, bool quick)
{
    if (!quick) {
        ReportWindows();
        TakePicture();
    }
    p_.job.EndPrograms(status);
    Take(true);
    p_.job.EndAll(status, quick ? 1000 : 10000);
}

Ending RunLoop::Watch()
{
    ULONGLONG start = GetTickCount64();
    bool busy = false;
    for (;;) {
        HANDLE handles[4];
        DWORD count = 0, helper = MAXDWORD;
        handles[count++] = p_.job.process();
        if (p_.reader.helper())
            handles[helper = count++] = p_.reader.helper();
        if (p_.stopped)
            handles[count++] = p_.stopped;
        if (p_.keys)
            handles[count++] = p_.keys->arrived();
        if (p_.host)
            handles[count++] = p_.host->arrived();
        DWORD wait = busy ? 0 : p_.reader.followed() ? kIdleMs : kUnreadMs;
        DWORD woke = WaitForMultipleObjects(count, handles, FALSE, wait);
        if (woke == WAIT_OBJECT_0)
            return Ended();
        if (woke == WAIT_OBJECT_0 + helper)
            return ReaderGone();
        busy = Take(false);
        PassKeys();
        Ending commanded;
        if (!TakeCommands(commanded))
            return commanded;
        if (!DoSteps())
            return StepFailed(true);
        if (int status = StopStatus())
            return Stopped(status);
        if (p_.options.timeout > 0 && GetTickCount64() - start >= p_.options.timeout * 1000)
            return TimedOut();
    }
}

Ending RunLoop::Ended()
{
    Take(true);
    Ending ending = ProgramEnding(p_.job.ExitCode());
    p_.job.EndAll(ending.status);
    if (p_.steps.Abandon(L"the program ended first (" + ending.words + L")"))
        return StepFailed(false);
    RecordSteps();
    return ending;
}

// The steps tried once, and what they did to the trace and the log; false when one failed.
bool RunLoop::DoSteps()
{
    StepRunner::State state = p_.steps.Poll(p_.job.job(), stepLines_);
    stepLines_.clear();
    RecordSteps();
    return state != StepRunner::kFailed;
}

void RunLoop::RecordSteps()
{
    for (const StepResult &step : p_.steps.TakeResults()) {
        if (!step.note.empty())
            p_.sinks.Note(step.note);
        p_.trace.Step(step);
    }
}

// A step that could not be done ends the run as a timeout does, with a status of its own.
Ending RunLoop::StepFailed(bool running)
{
    RecordSteps();
    const Failure &failure = p_.steps.failure();
    p_.sinks.Tell(failure.message);
    if (running)
        Halt(failure.status);
    return {failure.status, L"step " + std::to_wstring(p_.steps.number()) +
                                L" failed (exit status " + std::to_wstring(failure.status) +
                                L")"};
}

Ending RunLoop::Stopped(int status)
{
    bool closed = status == kExitConsoleClosed && StopStatus();
    Halt(status, closed);
    if (status == kExitInterrupted)
        return {status, L"stopped by Ctrl+C (exit status 130)"};
    if (!closed)
        return {status, L"stopped: standard input was closed (exit status 129)"};
    return {status, L"stopped: the console was closed (exit status 129)"};
}

// The Linux runner's commands that came: keys, steps, a stop. False when the run ends here.
bool RunLoop::TakeCommands(Ending &ending)
{
    if (!p_.host)
        return true;
    HostCommand command;
    while (p_.host->Next(command)) {
        if (command.verb == "keys" && p_.options.interactive) {
            for (wchar_t key : command.text)
                p_.reader.Type((char)key);
        } else if (command.verb == "do") {
            p_.steps.AddLater(command.text);
        } else if (command.verb == "stop") {
            ending = StoppedBy(command.status, command.text);
            return false;
        }
    }
    if (!p_.host->ended())
        return true;
    ending = HostGone();
    return false;
}

Ending RunLoop::StoppedBy(int status, const std::wstring &why)
{
    Halt(status);
    return {status, why + L" (exit status " + std::to_wstring(status) + L")"};
}

// The Linux runner's pipe broke (it was killed): nobody would answer the prompt or take the
// lines, so the run ends here.
Ending RunLoop::HostGone()
{
    Failure gone = Fail(kExitRunner, L"the Linux runner's pipe to mirdu-run.exe broke: the "
                                     L"program was ended");
    Keep(gone);
    p_.sinks.Note(gone.message);
    Halt(kExitRunner, true);
    return {kExitRunner, L""};
}

Ending RunLoop::TimedOut()
{
    Halt(kExitTimeout);
    wchar_t words[80];
    swprintf(words, ARRAYSIZE(words), L"timed out after %g s (exit status %d)",
             p_.options.timeout, kExitTimeout);
    return {kExitTimeout, words};
}

// The helper that reads the consoles went (killed, crashed): nothing more can be read, so the
// run ends here rather than wait for a prompt that nobody would answer.
Ending RunLoop::ReaderGone()
{
    std::wstring why = p_.reader.HelperGone();
    Failure gone = Fail(kExitRunner, L"the console reader (" + why + L") went before the run "
                                     L"ended: the program was ended, and lines may be missing "
                                     L"from the log");
    Keep(gone);
    p_.sinks.Note(gone.message);
    Halt(kExitRunner, true);
    return {kExitRunner, L""};
}
