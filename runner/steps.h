// Steps that drive a GUI program unattended, done in order while it runs (--do, --steps):
//   window TITLE      a visible top-level window of the program whose title holds TITLE becomes
//                     the window that later steps act in (else its first main window)
//   click NAME        posts BM_CLICK to a button, check box or radio button of that window
//   check NAME        clicks a check box or radio button only where it is not checked
//   uncheck NAME      clicks a check box only where it is checked
//   fill NAME TEXT    sets the text of an edit box, found by the label before it or #ID
//   keys [#ID] TEXT   types keys into the focused control (or #ID): characters, named keys,
//                     and shortcuts that reach the program's accelerators and menus
//   menu PATH         chooses an item of the window's menu bar, each level opened as a person
//                     opens it ("File>Save As...")
//   select NAME ITEM  selects an item of a combo box, list box, list view or tree view (a tree
//                     item by its path), as a person's choice tells the program
//   tab [#ID] TEXT    shows a tab of the window's tab control, as a click on it would
//   open PATH         enters PATH in the program's standard Open or Save dialog and confirms it
//   answer BUTTON     presses a button of a message box of the program
//   wait TEXT         until TEXT shows in a window of the program or a console line
//   close             posts SC_CLOSE to the window, as its close box does
// Words are quoted as a POSIX shell quotes them. A step waits for what it needs up to its time
// (within=SECONDS before the verb, else --step-timeout), looking again every 50 ms or so:
// each try sends only messages with short timeouts, so the run's loop never waits long on a
// program that is busy or hung. No step needs the program's windows in the foreground, the
// keyboard focus or a display.
#ifndef MIRDU_RUNNER_STEPS_H
#define MIRDU_RUNNER_STEPS_H

#include <windows.h>

#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "runner/report.h"
#include "runner/stepaction.h"
#include "runner/stepparse.h"

class StepRunner {
public:
    enum State { kIdle, kRunning, kFailed };

    explicit StepRunner(double seconds);
    ~StepRunner();
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

private:
    StepTry TryStep();
    void TakeLines(const std::vector<std::string> &lines);
    // Takes the next step from the queue as the current one.
    void Begin();
    void Finish(bool ok, const std::wstring &why);

    double seconds_;
    std::deque<Step> queue_;
    unsigned number_ = 0; // of the current step, from 1
    bool active_ = false;
    Step step_;
    std::unique_ptr<StepAction> action_; // the current step's; none for one that is no step
    ULONGLONG started_ = 0, tried_ = 0, next_ = 0; // tick counts
    StepResult result_;
    std::unique_ptr<ProgramHooks> hooks_;
    StepScene scene_;
    bool newLines_ = false;
    std::vector<StepResult> results_;
    Failure failure_;
};

#endif
