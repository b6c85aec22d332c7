#include "runner/steps.h"

#include <algorithm>
#include <cstdio>

#include "runner/controls.h"
#include "runner/drive.h"

namespace {

// How long a control may take to answer a step's message: the run's loop waits this long at
// most on a program that is busy, and tries again later.
const UINT kStepAnswerMs = 200;
// How often a step looks again while it waits, unless console lines come.
const ULONGLONG kRetryMs = 50;
// The console lines that a wait step looks at, at most: the last ones since the step before.
const size_t kKeptLines = 10000;

std::wstring Quoted(const std::wstring &text) { return L"\"" + Escaped(text) + L"\""; }

// How a control is named in messages: as the step named it.
std::wstring Named(const std::wstring &name) { return name[0] == L'#' ? name : Quoted(name); }

std::wstring Seconds(double seconds)
{
    wchar_t text[32];
    swprintf(text, 32, L"%g", seconds);
    return text;
}

std::wstring Flags(const Control &control)
{
    std::wstring flags;
    if (control.ownerDrawn)
        flags += L" (owner-drawn)";
    if (!control.visible)
        flags += L" (hidden)";
    else if (!control.enabled)
        flags += L" (disabled)";
    return flags;
}

std::wstring Shown(const Control &control)
{
    std::wstring text = WithoutMnemonics(control.text);
    return (text.empty() ? L"#" + std::to_wstring(control.id) : Quoted(text)) + Flags(control);
}

// What a window offers to click, for a step that did not find its control.
std::wstring Buttons(const std::vector<Control> &controls)
{
    if (controls.empty())
        return L"it has no controls of its own: what it shows is drawn without windows, which "
               L"messages cannot reach";
    std::wstring list;
    for (const Control &control : controls)
        if (IsClickable(control))
            list += (list.empty() ? L"" : L", ") + Shown(control);
    return list.empty() ? L"it has no buttons" : L"it has: " + list;
}

// The labels and edit boxes of a window, for a fill step that did not find its box.
std::wstring Boxes(const std::vector<Control> &controls)
{
    std::wstring labels, boxes;
    for (const Control &control : controls) {
        if (control.kind == Control::kStatic && !control.text.empty())
            labels += (labels.empty() ? L"" : L", ") + Shown(control);
        else if (control.kind == Control::kEdit)
            boxes += (boxes.empty() ? L"#" : L", #") + std::to_wstring(control.id) +
                     Flags(control);
    }
    if (controls.empty())
        return Buttons(controls);
    return L"it has labels: " + (labels.empty() ? L"none" : labels) +
           L"; edit boxes: " + (boxes.empty() ? L"none" : boxes);
}

// The titles of the program's windows, for a step that did not find its window.
std::wstring Shows(HANDLE job)
{
    std::wstring list;
    for (HWND window : ShownWindows(job))
        list += (list.empty() ? L"" : L", ") + Quoted(Title(window));
    return list.empty() ? L"it shows no window" : L"it shows " + list;
}

std::wstring Owned(HANDLE job, HWND owner)
{
    std::wstring list;
    for (HWND window : ShownWindows(job))
        if (GetWindow(window, GW_OWNER) == owner)
            list += (list.empty() ? L"" : L", ") + Quoted(Title(window));
    return list.empty() ? L"" : L"the program has a window open over it: " + list;
}

// Whether a control found cannot be used yet, as a person could not: its window disabled (by a
// modal dialog), the control hidden, disabled or read-only.
bool Unready(HANDLE job, HWND window, const Control &control, const std::wstring &name,
             StepRunner::Try &t)
{
    std::wstring where = Named(name) + L" in " + Quoted(Title(window));
    if (!IsWindowEnabled(window)) {
        t.waiting = Quoted(Title(window)) + L" is still disabled";
        t.has = Owned(job, window);
    } else if (!control.visible) {
        t.waiting = where + L" is still hidden";
    } else if (!control.enabled) {
        t.waiting = where + L" is still disabled";
    } else if (control.kind == Control::kEdit && (control.style & ES_READONLY)) {
        t.waiting = where + L" is still read-only";
    } else {
        return false;
    }
    return true;
}

// A fill step's edit box, or what is missing.
const Control *FindBox(const std::vector<Control> &controls, const std::wstring &name,
                       const std::wstring &title, StepRunner::Try &t)
{
    const Control *named = nullptr;
    if (const Control *box = EditBox(controls, name, named))
        return box;
    t.has = Boxes(controls);
    // What is named is there but no edit box: no wait makes it one.
    t.failed = named != nullptr;
    if (!named)
        t.waiting = (name[0] == L'#' ? L"no control " + name : L"no label " + Quoted(name)) +
                    L" in " + Quoted(title);
    else if (name[0] == L'#')
        t.waiting = name + L" in " + Quoted(title) + L" is no edit box but a " +
                    named->className;
    else
        t.waiting = L"the label " + Quoted(name) + L" in " + Quoted(title) +
                    L" has no edit box after it";
    return nullptr;
}

} // namespace

std::wstring StepRunner::Add(const std::wstring &text)
{
    Step step;
    std::wstring why = ParseStep(text, step);
    if (why.empty())
        queue_.push_back(step);
    return why;
}

void StepRunner::AddLater(const std::wstring &text)
{
    Step step;
    std::wstring why = ParseStep(text, step);
    if (!why.empty()) {
        step.text = text;
        step.wrong = why;
    }
    queue_.push_back(step);
}

StepRunner::State StepRunner::Poll(HANDLE job, const std::vector<std::string> &lines)
{
    if (failure_)
        return kFailed;
    for (const std::string &line : lines)
        lines_.push_back(Widen(line));
    if (lines_.size() > kKeptLines) {
        size_t dropped = lines_.size() - kKeptLines;
        lines_.erase(lines_.begin(), lines_.begin() + dropped);
        scanned_ -= std::min(scanned_, dropped);
    }
    newLines_ = newLines_ || !lines.empty();
    if (!active_ && queue_.empty())
        return kIdle;
    if (!active_) {
        Begin();
    } else if (GetTickCount64() < next_ && !newLines_) {
        return kRunning;
    }
    newLines_ = false;
    ULONGLONG before = GetTickCount64();
    Try t;
    if (!step_.wrong.empty()) {
        t.failed = true;
        t.waiting = step_.wrong;
    } else {
        t = TryStep(job);
    }
    tried_ = GetTickCount64();
    // A try that waited on a busy program waits a few times as long before the next, so that
    // the run's loop spends most of its time reading the console.
    next_ = tried_ + std::max(kRetryMs, 4 * (tried_ - before));
    if (t.done) {
        Finish(true, L"");
        return kRunning;
    }
    double seconds = step_.seconds > 0 ? step_.seconds : seconds_;
    if (!t.failed && tried_ - started_ < seconds * 1000)
        return kRunning;
    std::wstring why = L"step " + std::to_wstring(number_) + L" (" + step_.text + L"): " +
                       t.waiting + (t.failed ? L"" : L" after " + Seconds(seconds) + L" s") +
                       (t.has.empty() ? L"" : L"; " + t.has);
    Finish(false, why);
    failure_ = Fail(kExitStep, why);
    return kFailed;
}

Failure StepRunner::Abandon(const std::wstring &why)
{
    // A step that had acted and waited only for its window to go is done: the program took
    // the window with it (a last message box answered, a dialog whose OK ends the program).
    if (active_ && ((step_.verb == Step::kAnswer && phase_ == 1) ||
                    (step_.verb == Step::kOpen && phase_ == 2)))
        Finish(true, L"");
    if (failure_ || !pending())
        return failure_;
    if (!active_)
        Begin();
    size_t after = queue_.size();
    std::wstring message = L"step " + std::to_wstring(number_) + L" (" + step_.text +
                           L") not done: " + why;
    if (after)
        message += L"; nor " + std::wstring(after == 1 ? L"the step" : L"the " +
                                                               std::to_wstring(after) +
                                                               L" steps") +
                   L" after it";
    queue_.clear();
    Finish(false, message);
    return failure_ = Fail(kExitStep, message);
}

void StepRunner::Begin()
{
    step_ = queue_.front();
    queue_.pop_front();
    active_ = true;
    phase_ = 0;
    target_ = NULL;
    started_ = GetTickCount64();
    result_ = StepResult();
    result_.number = ++number_;
    result_.text = step_.text;
}

std::vector<StepResult> StepRunner::TakeResults()
{
    std::vector<StepResult> taken;
    taken.swap(results_);
    return taken;
}

void StepRunner::Finish(bool ok, const std::wstring &why)
{
    result_.ok = ok;
    result_.why = why;
    result_.seconds = (GetTickCount64() - started_) / 1000.0;
    results_.push_back(result_);
    active_ = false;
    lines_.clear();
    scanned_ = 0;
}

void StepRunner::Acted(HWND control, const std::wstring &text)
{
    result_.acted = true;
    result_.controlClass = ClassOf(control);
    // A top-level window's id field holds its menu.
    result_.controlId = (GetWindowLongW(control, GWL_STYLE) & WS_CHILD) ? GetDlgCtrlID(control) : 0;
    result_.controlText = text;
}

StepRunner::Try StepRunner::TryStep(HANDLE job)
{
    switch (step_.verb) {
    case Step::kWindow: return TryWindow(job);
    case Step::kClick: return TryClick(job);
    case Step::kFill: return TryFill(job);
    case Step::kOpen: return TryOpen(job);
    case Step::kAnswer: return TryAnswer(job);
    case Step::kWait: return TryWait(job);
    default: return TryClose(job);
    }
}

HWND StepRunner::CurrentWindow(HANDLE job, Try &t)
{
    if (windowTitle_.empty()) {
        if (HWND main = MainWindow(job, kStepAnswerMs))
            return main;
        t.waiting = L"the program shows no main window";
    } else {
        if (IsWindow(window_) && IsWindowVisible(window_) &&
            HasText(Title(window_), windowTitle_))
            return window_;
        if ((window_ = WindowTitled(job, windowTitle_)))
            return window_;
        t.waiting = L"no window of the program has " + Quoted(windowTitle_) + L" in its title";
    }
    t.has = Shows(job);
    return NULL;
}

HWND StepRunner::CurrentControls(HANDLE job, std::vector<Control> &controls, Try &t)
{
    HWND window = CurrentWindow(job, t);
    if (window && !ReadControls(window, controls, kStepAnswerMs)) {
        t.waiting = Quoted(Title(window)) + L" does not answer";
        return NULL;
    }
    return window;
}

StepRunner::Try StepRunner::TryWindow(HANDLE job)
{
    Try t;
    if (HWND window = WindowTitled(job, step_.args[0])) {
        window_ = window;
        windowTitle_ = step_.args[0];
        Acted(window, Title(window));
        t.done = true;
        return t;
    }
    t.waiting = L"no window of the program has " + Quoted(step_.args[0]) + L" in its title";
    t.has = Shows(job);
    return t;
}

StepRunner::Try StepRunner::TryClick(HANDLE job)
{
    Try t;
    std::vector<Control> controls;
    HWND window = CurrentControls(job, controls, t);
    if (!window)
        return t;
    const std::wstring &name = step_.args[0];
    const Control *control = FindControl(controls, name, IsClickable);
    if (!control) {
        t.waiting = L"no such control in " + Quoted(Title(window));
        t.has = Buttons(controls);
        return t;
    }
    if (Unready(job, window, *control, name, t))
        return t;
    // Posted: a click whose handler opens a modal dialog returns only when that closes.
    PostMessageW(control->window, BM_CLICK, 0, 0);
    Acted(control->window, control->text);
    t.done = true;
    return t;
}

StepRunner::Try StepRunner::TryFill(HANDLE job)
{
    Try t;
    const std::wstring &name = step_.args[0], &text = step_.args[1];
    if (phase_ == 0) {
        std::vector<Control> controls;
        HWND window = CurrentControls(job, controls, t);
        if (!window)
            return t;
        const Control *box = FindBox(controls, name, Title(window), t);
        if (!box || Unready(job, window, *box, name, t))
            return t;
        if (!SetControlText(box->window, text, kStepAnswerMs)) {
            t.waiting = Quoted(Title(window)) + L" does not answer";
            return t;
        }
        Acted(box->window, text);
        target_ = box->window;
        phase_ = 1;
    }
    // What the box holds now: a program may refuse or change what is typed.
    std::wstring now, expected = text.size() > kLongestText
                                     ? text.substr(0, kLongestText) + L"..."
                                     : text;
    if (!ControlText(target_, now, kStepAnswerMs))
        t.waiting = L"the box " + Named(name) + L" does not answer";
    else if (now != expected)
        t.waiting = L"the box " + Named(name) + L" holds " + Quoted(now) + L", not the text";
    t.done = t.waiting.empty();
    return t;
}

// An open step's first phase: the dialog found and the name entered.
StepRunner::Try StepRunner::EnterName(HANDLE job, const std::wstring &path)
{
    Try t;
    HWND dialog = NULL, box = NULL;
    for (HWND window : ShownWindows(job))
        if (IsDialog(window) && (box = FileNameBox(window))) {
            dialog = window;
            break;
        }
    if (!dialog) {
        t.waiting = L"no Open or Save dialog of the program";
        t.has = Shows(job);
    } else if (!IsWindowEnabled(dialog) || !IsWindowEnabled(box)) {
        t.waiting = L"the dialog " + Quoted(Title(dialog)) + L" is still disabled";
        t.has = Owned(job, dialog);
    } else if (!SetControlText(box, path, kStepAnswerMs)) {
        t.waiting = L"the dialog " + Quoted(Title(dialog)) + L" does not answer";
    } else {
        Acted(box, path);
        target_ = dialog;
        phase_ = 1;
    }
    return t;
}

StepRunner::Try StepRunner::TryOpen(HANDLE job)
{
    Try t;
    std::wstring path = FullPath(step_.args[0]), now;
    if (phase_ == 0)
        return EnterName(job, path);
    if (phase_ == 1) {
        // Confirmed on a later try, once the box has kept the name: a dialog that was still
        // setting itself up may have put its own there meanwhile.
        HWND box = IsWindow(target_) ? FileNameBox(target_) : NULL;
        if (!box || !ControlText(box, now, kStepAnswerMs) || now != path) {
            t.waiting = L"the dialog " + Quoted(Title(target_)) + L" does not keep the name";
            phase_ = 0;
            return t;
        }
        // As its OK button tells it; posted, as a click is.
        PostMessageW(target_, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
                     (LPARAM)GetDlgItem(target_, IDOK));
        phase_ = 2;
        return t;
    }
    if (!IsWindow(target_) || !IsWindowVisible(target_)) {
        t.done = true;
        return t;
    }
    for (HWND window : ShownWindows(job))
        if (GetWindow(window, GW_OWNER) == target_ && IsMessageBox(window, now, kStepAnswerMs)) {
            t.failed = true;
            t.waiting = L"the dialog " + Quoted(Title(target_)) + L" did not take " +
                        Quoted(path) + L": " + Quoted(now);
            return t;
        }
    t.waiting = L"the dialog " + Quoted(Title(target_)) + L" is still open after " +
                Quoted(path);
    return t;
}

StepRunner::Try StepRunner::TryAnswer(HANDLE job)
{
    Try t;
    const std::wstring &name = step_.args[0];
    if (phase_ == 1) {
        t.done = !IsWindow(target_) || !IsWindowVisible(target_);
        t.waiting = L"the message box " + Quoted(result_.box) + L" is still open after " +
                    Quoted(name);
        return t;
    }
    std::wstring text;
    for (HWND window : ShownWindows(job)) {
        std::vector<Control> controls;
        if (!IsMessageBox(window, text, kStepAnswerMs) ||
            !ReadControls(window, controls, kStepAnswerMs))
            continue;
        const Control *button = FindControl(controls, name, IsPushButton);
        int id = StandardButtonId(name);
        for (size_t i = 0; !button && id && i < controls.size(); i++)
            if (IsPushButton(controls[i]) && controls[i].id == id)
                button = &controls[i];
        if (!button || !button->visible || !button->enabled) {
            t.waiting = L"the message box " + Quoted(text) + L" has no button " + Quoted(name);
            t.has = Buttons(controls);
            continue;
        }
        PostMessageW(button->window, BM_CLICK, 0, 0);
        Acted(button->window, button->text);
        result_.box = text;
        result_.note = L"message box " + Quoted(Title(window)) + L": " + Quoted(text) +
                       L", answered [" + Escaped(WithoutMnemonics(button->text)) + L"]";
        target_ = window;
        phase_ = 1;
        return t;
    }
    if (t.waiting.empty()) {
        t.waiting = L"no message box of the program";
        t.has = Shows(job);
    }
    return t;
}

StepRunner::Try StepRunner::TryWait(HANDLE job)
{
    Try t;
    const std::wstring &text = step_.args[0];
    for (; scanned_ < lines_.size(); scanned_++)
        if (HasText(lines_[scanned_], text)) {
            result_.found = lines_[scanned_];
            t.done = true;
            return t;
        }
    for (HWND window : ShownWindows(job)) {
        std::vector<Control> controls;
        if (HasText(Title(window), text)) {
            Acted(window, Title(window));
            t.done = true;
            return t;
        }
        ReadControls(window, controls, kStepAnswerMs);
        for (const Control &control : controls)
            if (control.visible && HasText(control.text, text)) {
                Acted(control.window, control.text);
                t.done = true;
                return t;
            }
    }
    t.waiting = L"no " + Quoted(text) + L" in the program's windows or console lines";
    t.has = Shows(job);
    return t;
}

StepRunner::Try StepRunner::TryClose(HANDLE job)
{
    Try t;
    HWND window = CurrentWindow(job, t);
    if (!window)
        return t;
    PostMessageW(window, WM_SYSCOMMAND, SC_CLOSE, 0);
    Acted(window, Title(window));
    window_ = NULL;
    windowTitle_.clear();
    t.done = true;
    return t;
}
