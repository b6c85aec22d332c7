// Steps that drive a GUI program unattended, done in order while it runs (--do, --steps):
//   window TITLE      a visible top-level window of the program whose title holds TITLE becomes
//                     the window that later steps act in (else its first main window)
//   click NAME        posts BM_CLICK to a button, check box or radio button of that window
//   fill NAME TEXT    sets the text of an edit box, found by the label before it or #ID
//   open PATH         enters PATH in the program's standard Open or Save dialog and confirms it
//   answer BUTTON     presses a button of a message box of the program
//   wait TEXT         until TEXT shows in a window of the program or a console line
//   close             posts SC_CLOSE to the window, as its close box does
// Words are quoted as a POSIX shell quotes them. A step waits for what it needs up to its time
// (within=SECONDS before the verb, else --step-timeout), looking again every 50 ms or so:
// each try sends only messages with short timeouts, so the run's loop never waits long on a
// program that is busy or hung.
#ifndef MIRDU_RUNNER_STEPS_H
#define MIRDU_RUNNER_STEPS_H

#include <windows.h>

#include <deque>
#include <string>
#include <vector>

#include "runner/report.h"
#include "runner/stepparse.h"

struct Control;

// What one finished step did, for the trace and the log.
struct StepResult {
    unsigned number = 0;
    std::wstring text;
    bool ok = false;
    double seconds = 0;
    bool acted = false;  // on the control below
    std::wstring controlClass, controlText;
    int controlId = 0;
    std::wstring box;    // answer: the message box's text
    std::wstring found;  // wait: the console line it was found in
    std::wstring why;    // a failure's message
    std::wstring note;   // a line for the log
};

class StepRunner {
public:
    enum State { kIdle, kRunning, kFailed };

    explicit StepRunner(double seconds) : seconds_(seconds) {}
    // Queues a step after those given; empty, or why the text is no step.
    std::wstring Add(const std::wstring &text);
    // Queues a step given while the program runs: one that is no step fails in its turn, as
    // one that cannot be done, so that the steps keep their numbers.
    void AddLater(const std::wstring &text);
    // Takes the console lines read since the last call and tries the current step once.
    // kIdle: no step is left; kFailed: a step could not be done (failure()).
    State Poll(HANDLE job, const std::vector<std::string> &lines);
    // Once the program has ended: a failure when steps were left undone.
    Failure Abandon(const std::wstring &why);
    bool pending() const { return active_ || !queue_.empty(); }
    // The steps finished since the last call.
    std::vector<StepResult> TakeResults();
    const Failure &failure() const { return failure_; }
    // The number of the step under way or the last one, from 1.
    unsigned number() const { return number_; }

    // What one try of a step found: done, or what it waits for and what there is instead.
    struct Try {
        bool done = false;
        bool failed = false; // it cannot be done, however long it waits
        std::wstring waiting, has;
    };

private:
    Try TryStep(HANDLE job);
    Try TryWindow(HANDLE job);
    Try TryClick(HANDLE job);
    Try TryFill(HANDLE job);
    Try TryOpen(HANDLE job);
    Try EnterName(HANDLE job, const std::wstring &path);
    Try TryAnswer(HANDLE job);
    Try TryWait(HANDLE job);
    Try TryClose(HANDLE job);
    // The window that steps act in, or NULL with what is missing.
    HWND CurrentWindow(HANDLE job, Try &waiting);
    // That window and its controls, or NULL with what is missing.
    HWND CurrentControls(HANDLE job, std::vector<Control> &controls, Try &waiting);
    // Takes the next step from the queue as the current one.
    void Begin();
    void Acted(HWND control, const std::wstring &text);
    void Finish(bool ok, const std::wstring &why);

    double seconds_;
    std::deque<Step> queue_;
    unsigned number_ = 0; // of the current step, from 1
    bool active_ = false;
    Step step_;
    int phase_ = 0;       // of the current step: 0 until it acted, then what it checks
    HWND target_ = NULL;
    ULONGLONG started_ = 0, tried_ = 0, next_ = 0; // tick counts
    StepResult result_;
    HWND window_ = NULL;  // chosen by the last window step, with its title's part
    std::wstring windowTitle_;
    std::vector<std::wstring> lines_; // since the previous step ended
    size_t scanned_ = 0;              // of those, by a wait step
    bool newLines_ = false;
    std::vector<StepResult> results_;
    Failure failure_;
};

#endif
