// The steps that press buttons: click, and check and uncheck, which click a check box or radio
// button only where it is not in the state asked for.
#include "runner/stepaction.h"

namespace {

class ClickAction : public StepAction {
public:
    explicit ClickAction(const std::wstring &name) : name_(name) {}

    StepTry Try(StepScene &scene, StepResult &result) override
    {
        StepTry t;
        std::vector<Control> controls;
        HWND window = scene.Controls(controls, t);
        if (!window)
            return t;
        const Control *control = FindControl(controls, name_, IsClickable);
        if (!control) {
            t.waiting = L"no such control in " + Quoted(Title(window));
            t.has = Offers(controls, IsClickable, L"it has no buttons");
            return t;
        }
        if (Unready(scene.job(), window, *control, name_, t))
            return t;
        // Posted: a click whose handler opens a modal dialog returns only when that closes.
        PostMessageW(control->window, BM_CLICK, 0, 0);
        Acted(result, control->window, control->text);
        t.done = true;
        return t;
    }

private:
    std::wstring name_;
};

const wchar_t *StateWord(LRESULT state)
{
    return state == BST_CHECKED ? L"checked" : state == BST_UNCHECKED ? L"unchecked"
                                                                      : L"indeterminate";
}

// Clicks until the box is in the state asked for: a three-state box takes two clicks from
// indeterminate to checked. Each click is posted, as click posts it, and the state read again
// once the program has taken it.
class CheckAction : public StepAction {
public:
    CheckAction(const std::wstring &name, bool checked)
        : name_(name), wanted_(checked ? BST_CHECKED : BST_UNCHECKED)
    {
    }

    StepTry Try(StepScene &scene, StepResult &result) override
    {
        StepTry t;
        std::vector<Control> controls;
        HWND window = scene.Controls(controls, t);
        const Control *box = window ? Find(window, controls, t) : nullptr;
        DWORD_PTR answer = 0;
        if (!box)
            return t;
        if (!SendMessageTimeoutW(box->window, BM_GETCHECK, 0, 0, SMTO_ABORTIFHUNG,
                                 kStepAnswerMs, &answer)) {
            t.waiting = Named(name_) + L" in " + Quoted(Title(window)) + L" does not answer";
            return t;
        }
        LRESULT state = (LRESULT)answer;
        Acted(result, box->window, box->text);
        result.checked = state == BST_CHECKED;
        result.changed = clicks_ > 0;
        t.done = state == wanted_;
        t.waiting = Named(name_) + L" in " + Quoted(Title(window)) + L" is still " +
                    StateWord(state);
        if (t.done || Unready(scene.job(), window, *box, name_, t))
            return t;
        // The program has the click still to take, or took it and kept the state.
        if (clicks_ && state == clickedIn_ && !posted_.Taken())
            return t;
        if (clicks_ && state == clickedIn_) {
            t.waiting = L"the program keeps " + Named(name_) + L" in " + Quoted(Title(window)) +
                        L" " + StateWord(state) + L" after a click";
            return t;
        }
        if (clicks_ < 3) {
            PostMessageW(box->window, BM_CLICK, 0, 0);
            posted_.Posted(box->window);
            clickedIn_ = state;
            clicks_++;
        }
        return t;
    }

private:
    const Control *Find(HWND window, const std::vector<Control> &controls, StepTry &t)
    {
        const Control *box = FindControl(controls, name_, IsCheckable);
        if (!box) {
            t.waiting = L"no such check box or radio button in " + Quoted(Title(window));
            t.has = Offers(controls, IsCheckable, L"it has no check boxes or radio buttons");
        } else if (box->kind == Control::kRadioButton && wanted_ == BST_UNCHECKED) {
            t.failed = true;
            t.waiting = Named(name_) + L" in " + Quoted(Title(window)) +
                        L" is a radio button: a click never unchecks one, checking another of "
                        L"its group does";
            box = nullptr;
        }
        return box;
    }

    std::wstring name_;
    LRESULT wanted_;
    unsigned clicks_ = 0;
    LRESULT clickedIn_ = 0; // the state the last click was posted in
    PostedWait posted_;
};

} // namespace

std::unique_ptr<StepAction> MakeButtonAction(const Step &step)
{
    if (step.verb == Step::kClick)
        return std::unique_ptr<StepAction>(new ClickAction(step.args[0]));
    return std::unique_ptr<StepAction>(new CheckAction(step.args[0], step.verb == Step::kCheck));
}
