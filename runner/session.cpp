#include "runner/session.h"

#include <cstdio>

#include "runner/windows.h"

// Lines of one read, from one console or both.
struct Session::Batch {
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

void Session::Keep(const Failure &failure)
{
    if (failure && !failure_)
        failure_ = failure;
}

void Session::FromScreen(bool atEnd, Batch &batch)
{
    std::vector<std::string> lines;
    bool lastHasLineEnd = true;
    if (p_.screen)
        Keep(atEnd ? p_.screen->Finish(lines, lastHasLineEnd) : p_.screen->Read(lines));
    batch.Add(lines, lastHasLineEnd);
}

void Session::FromFollower(bool atEnd, Batch &batch)
{
    std::vector<std::string> lines;
    bool lastHasLineEnd = true;
    Keep(atEnd ? p_.follower.Finish(lines, lastHasLineEnd) : p_.follower.Read(lines));
    batch.Add(lines, lastHasLineEnd);
}

// Takes the lines to the sinks and the trace and, while the run goes on, answers each closing
// prompt once.
bool Session::Deliver(const Batch &batch, bool answer)
{
    p_.sinks.Write(batch.lines, batch.lastHasLineEnd);
    std::vector<LogLine> parsed;
    unsigned long long prompts = prompts_;
    for (const std::string &line : batch.lines) {
        parsed.push_back(reader_.Next(line));
        calls_ += parsed.back().kind == LogLine::kCall;
        prompts_ += parsed.back().kind == LogLine::kPrompt;
    }
    p_.trace.Lines(batch.lines, parsed);
    stepLines_.insert(stepLines_.end(), batch.lines.begin(), batch.lines.end());
    if (answer && prompts_ > prompts)
        TakePicture();
    for (; answer && !p_.options.interactive && prompts_ > keysSent_; keysSent_++) {
        Type('\r');
        p_.trace.Key();
    }
    return !batch.lines.empty();
}

bool Session::Take(bool atEnd)
{
    Batch batch;
    FromScreen(atEnd, batch);
    FromFollower(atEnd, batch);
    return Deliver(batch, !atEnd);
}

// A key goes where the program reads it: the console it is attached to now, which after a
// reload of the library is no longer the shared one.
void Session::Type(char key)
{
    DWORD pid = GetProcessId(p_.job.process());
    if (p_.screen && InThisConsole(pid))
        return TypeKey(p_.input, key);
    if (!p_.follower.started())
        Keep(p_.follower.Start(pid, p_.options.interactive));
    p_.follower.Type(key);
}

void Session::PassKeys()
{
    if (!p_.keys)
        return;
    for (char key : p_.keys->Take())
        if (p_.options.interactive)
            Type(key);
}

// The program's windows, named on standard error, in the log and in the trace: what a
// program that does not end waits for is mostly a message box.
void Session::ReportWindows()
{
    for (const std::wstring &window : DescribeWindows(p_.job.job())) {
        Say(window);
        p_.sinks.Note(L"mirdu-run: " + window);
        p_.trace.Window(window);
    }
}

// The picture asked for, of the windows as they stand now; a later one replaces it.
void Session::TakePicture()
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

// Ends a run that did not end by itself. A console that the program opened goes with it, so
// that one is read to its end first.
void Session::Halt(UINT status)
{
    ReportWindows();
    TakePicture();
    Batch batch;
    FromFollower(true, batch);
    Deliver(batch, false);
    p_.job.EndAll(status);
    Take(true);
}

Ending Session::Watch()
{
    ULONGLONG start = GetTickCount64();
    bool busy = false;
    for (;;) {
        HANDLE handles[] = {p_.job.process(), p_.stopped, p_.keys ? p_.keys->arrived() : NULL};
        DWORD woke = WaitForMultipleObjects(p_.keys ? 3 : 2, handles, FALSE, busy ? 0 : 5);
        if (woke == WAIT_OBJECT_0)
            return Ended();
        busy = Take(false);
        PassKeys();
        if (!DoSteps())
            return StepFailed(true);
        if (int status = StopStatus())
            return Stopped(status);
        // For the Linux runner, the end of its pipe is the end of the run.
        if (p_.options.host && p_.keys && p_.keys->ended())
            return Stopped(kExitConsoleClosed);
        if (p_.options.timeout > 0 && GetTickCount64() - start >= p_.options.timeout * 1000)
            return TimedOut();
    }
}

Ending Session::Ended()
{
    Take(true);
    DWORD status = p_.job.ExitCode();
    p_.job.EndAll(status);
    std::wstring words = L"exit status " + std::to_wstring((int)status);
    if (p_.steps.Abandon(L"the program ended first (" + words + L")"))
        return StepFailed(false);
    return {(int)status, words};
}

// The steps tried once, and what they did to the trace and the log; false when one failed.
bool Session::DoSteps()
{
    StepRunner::State state = p_.steps.Poll(p_.job.job(), stepLines_);
    stepLines_.clear();
    RecordSteps();
    return state != StepRunner::kFailed;
}

void Session::RecordSteps()
{
    for (const StepResult &step : p_.steps.TakeResults()) {
        if (!step.note.empty())
            p_.sinks.Note(L"mirdu-run: " + step.note);
        p_.trace.Step(step);
    }
}

// A step that could not be done ends the run as a timeout does, with a status of its own.
Ending Session::StepFailed(bool running)
{
    RecordSteps();
    const Failure &failure = p_.steps.failure();
    Say(failure.message);
    p_.sinks.Note(L"mirdu-run: " + failure.message);
    if (running)
        Halt(failure.status);
    return {failure.status, L"step " + std::to_wstring(p_.steps.number()) +
                                L" failed (exit status " + std::to_wstring(failure.status) +
                                L")"};
}

Ending Session::Stopped(int status)
{
    Halt(status);
    if (status == kExitInterrupted)
        return {status, L"stopped by Ctrl+C (exit status 130)"};
    if (!StopStatus())
        return {status, L"stopped: standard input was closed (exit status 129)"};
    return {status, L"stopped: the console was closed (exit status 129)"};
}

Ending Session::TimedOut()
{
    Halt(kExitTimeout);
    wchar_t words[80];
    swprintf(words, ARRAYSIZE(words), L"timed out after %g s (exit status %d)",
             p_.options.timeout, kExitTimeout);
    return {kExitTimeout, words};
}
