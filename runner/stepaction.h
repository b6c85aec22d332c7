// What the units of the steps' verbs share: what a step did, what one try of it found, the
// window that steps act in from step to step, and how a step's messages name what it sees.
// Each verb family has a unit of its own (stepwindows, stepbuttons, stepfill, stepdialogs,
// stepmenu, stepkeys, stepselect, steptab) whose actions keep their own state for the step.
#ifndef MIRDU_RUNNER_STEPACTION_H
#define MIRDU_RUNNER_STEPACTION_H

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "runner/controls.h"
#include "runner/stepparse.h"

class ProgramHooks;

// How often a step looks again while it waits, unless console lines come.
const ULONGLONG kRetryMs = 50;

// What one finished step did, for the trace and the log.
struct StepResult {
    unsigned number = 0;
    Step::Verb verb = Step::kClose;
    std::wstring text;
    bool ok = false;
    double seconds = 0;
    bool acted = false;  // on the control below
    std::wstring controlClass, controlText;
    int controlId = 0;
    std::wstring box;    // answer: the message box's text
    std::wstring found;  // wait: the console line it was found in
    std::wstring item;   // menu: the item's path; select, tab: the item chosen
    int itemId = -1;     // menu: the item's command id; select, tab: the item's index
    std::wstring keys;   // keys: what was typed, as ShownKeys shows it
    int checked = -1;    // check, uncheck: the state now (0, 1), and whether a click made it
    bool changed = false;
    std::wstring why;    // a failure's message
    std::wstring note;   // a line for the log
};

// What one try of a step found: done, or what it waits for and what there is instead.
struct StepTry {
    bool done = false;
    bool failed = false; // it cannot be done, however long it waits
    std::wstring waiting, has;
};

// What lasts from step to step: the program's job, the window that steps act in, the console
// lines read since the previous step ended, and the hooks set in the program's threads.
class StepScene {
public:
    explicit StepScene(ProgramHooks &hooks) : hooks_(hooks) {}
    HANDLE job() const { return job_; }
    void SetJob(HANDLE job) { job_ = job; }
    ProgramHooks &hooks() { return hooks_; }
    // The window that steps act in, or NULL with what is missing.
    HWND Window(StepTry &t);
    // That window and its controls, or NULL with what is missing.
    HWND Controls(std::vector<Control> &controls, StepTry &t);
    // A window step's choice; Forget goes back to the program's first main window.
    void Choose(HWND window, const std::wstring &titlePart);
    void Forget();

    std::vector<std::wstring> lines; // since the previous step ended
    size_t scanned = 0;              // of those, by a wait step

private:
    ProgramHooks &hooks_;
    HANDLE job_ = NULL;
    HWND window_ = NULL; // chosen by the last window step, with its title's part
    std::wstring titlePart_;
};

// One step under way, with the state that its verb keeps between tries.
class StepAction {
public:
    virtual ~StepAction() = default;
    virtual StepTry Try(StepScene &scene, StepResult &result) = 0;
    // Whether the step counts as done when the program ends before it is: one that acted and
    // waited only for its window to go (a last message box answered, File>Exit chosen), with
    // what it did in result.
    virtual bool DoneWhenProgramEnds(StepResult &) { return false; }
};

// The action of each verb, made by the unit of its family.
std::unique_ptr<StepAction> MakeWindowAction(const Step &step); // window, wait, close
std::unique_ptr<StepAction> MakeButtonAction(const Step &step); // click, check, uncheck
std::unique_ptr<StepAction> MakeFillAction(const Step &step);
std::unique_ptr<StepAction> MakeDialogAction(const Step &step); // open, answer
std::unique_ptr<StepAction> MakeMenuAction(const Step &step);
std::unique_ptr<StepAction> MakeKeysAction(const Step &step);
std::unique_ptr<StepAction> MakeSelectAction(const Step &step);
std::unique_ptr<StepAction> MakeTabAction(const Step &step);

// The control that a step acted on, for the trace.
void Acted(StepResult &result, HWND control, const std::wstring &text);

// Whether the program has taken what a step posted to it: a posted message is not answered,
// so this sends it a message that does nothing once on each of two tries at least kRetryMs
// apart. A thread takes what is sent to it before what is posted, and goes on to what is
// posted at once: the second answer comes after the program took the posted message, unless
// its thread stalled between the two for longer than the time between them.
class PostedWait {
public:
    void Posted(HWND window);
    // Tries once; true when taken. A window that does not answer starts the count again.
    bool Taken();

private:
    HWND window_ = NULL;
    unsigned answers_ = 0;
    ULONGLONG last_ = 0;
};

// How steps' messages name things.
std::wstring Quoted(const std::wstring &text);
// A control as the step named it: #ID as it is, a text quoted.
std::wstring Named(const std::wstring &name);
// " (hidden)", " (disabled)", " (owner-drawn)" where so.
std::wstring Flags(const Control &control);
// A control as a list of them shows it: its text without & marks, or #ID, with its flags.
std::wstring Shown(const Control &control);
// "a", "b", "c" in quotes; empty for none.
std::wstring Listed(const std::vector<std::wstring> &texts);
// The controls that pass, for a step that did not find its control: "it has: ..."; a window
// with no controls at all has its own message.
std::wstring Offers(const std::vector<Control> &controls, bool (*passes)(const Control &),
                    const wchar_t *none);
// The titles of the program's windows, for a step that did not find its window.
std::wstring Shows(HANDLE job);
// The windows open over owner, for a step that waits for owner to be enabled.
std::wstring Owned(HANDLE job, HWND owner);
// Whether a control found cannot be used yet, as a person could not: its window disabled (by
// a modal dialog), the control hidden, disabled or read-only; t says which.
bool Unready(HANDLE job, HWND window, const Control &control, const std::wstring &name,
             StepTry &t);

#endif
