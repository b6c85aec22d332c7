// The steps that answer the program's standard dialogs: open (the Open and Save dialogs) and
// answer (message boxes).
#include "runner/stepaction.h"

#include "runner/paths.h"

namespace {

class OpenAction : public StepAction {
public:
    explicit OpenAction(const std::wstring &path) : path_(FullPath(path)) {}

    StepTry Try(StepScene &scene, StepResult &result) override
    {
        StepTry t;
        if (!dialog_)
            EnterName(scene.job(), result, t);
        else if (!confirmed_)
            Confirm(t);
        else
            CheckGone(scene.job(), t);
        return t;
    }

    // The dialog whose OK ends the program goes with it.
    bool DoneWhenProgramEnds(StepResult &) override { return confirmed_; }

private:
    void EnterName(HANDLE job, StepResult &result, StepTry &t)
    {
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
        } else if (!SetControlText(box, path_, kStepAnswerMs)) {
            t.waiting = L"the dialog " + Quoted(Title(dialog)) + L" does not answer";
        } else {
            Acted(result, box, path_);
            dialog_ = dialog;
        }
    }

    // On a later try than the name's, once the box has kept it: a dialog that was still setting
    // itself up may have put its own there meanwhile.
    void Confirm(StepTry &t)
    {
        std::wstring now;
        HWND box = IsWindow(dialog_) ? FileNameBox(dialog_) : NULL;
        if (!box || !ControlText(box, now, kStepAnswerMs) || now != path_) {
            t.waiting = L"the dialog " + Quoted(Title(dialog_)) + L" does not keep the name";
            dialog_ = NULL;
            return;
        }
        // As its OK button tells it; posted, as a click is.
        PostMessageW(dialog_, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
                     (LPARAM)GetDlgItem(dialog_, IDOK));
        confirmed_ = true;
    }

    void CheckGone(HANDLE job, StepTry &t)
    {
        if (!IsWindow(dialog_) || !IsWindowVisible(dialog_)) {
            t.done = true;
            return;
        }
        std::wstring text;
        for (HWND window : ShownWindows(job))
            if (GetWindow(window, GW_OWNER) == dialog_ &&
                IsMessageBox(window, text, kStepAnswerMs)) {
                t.failed = true;
                t.waiting = L"the dialog " + Quoted(Title(dialog_)) + L" did not take " +
                            Quoted(path_) + L": " + Quoted(text);
                return;
            }
        t.waiting = L"the dialog " + Quoted(Title(dialog_)) + L" is still open after " +
                    Quoted(path_);
    }

    std::wstring path_;
    HWND dialog_ = NULL;     // once the name is in its box
    bool confirmed_ = false; // once its OK is posted
};

class AnswerAction : public StepAction {
public:
    explicit AnswerAction(const std::wstring &button) : button_(button) {}

    StepTry Try(StepScene &scene, StepResult &result) override
    {
        StepTry t;
        if (box_) {
            t.done = !IsWindow(box_) || !IsWindowVisible(box_);
            t.waiting = L"the message box " + Quoted(result.box) + L" is still open after " +
                        Quoted(button_);
            return t;
        }
        std::wstring text;
        for (HWND window : ShownWindows(scene.job())) {
            std::vector<Control> controls;
            if (IsMessageBox(window, text, kStepAnswerMs) &&
                ReadControls(window, controls, kStepAnswerMs) &&
                Press(window, text, controls, result, t))
                return t;
        }
        if (t.waiting.empty()) {
            t.waiting = L"no message box of the program";
            t.has = Shows(scene.job());
        }
        return t;
    }

    // The last message box answered goes with the program.
    bool DoneWhenProgramEnds(StepResult &) override { return box_ != NULL; }

private:
    bool Press(HWND window, const std::wstring &text, const std::vector<Control> &controls,
               StepResult &result, StepTry &t)
    {
        const Control *button = FindControl(controls, button_, IsPushButton);
        int id = StandardButtonId(button_);
        for (size_t i = 0; !button && id && i < controls.size(); i++)
            if (IsPushButton(controls[i]) && controls[i].id == id)
                button = &controls[i];
        if (!button || !button->visible || !button->enabled) {
            t.waiting = L"the message box " + Quoted(text) + L" has no button " + Quoted(button_);
            t.has = Offers(controls, IsClickable, L"it has no buttons");
            return false;
        }
        PostMessageW(button->window, BM_CLICK, 0, 0);
        Acted(result, button->window, button->text);
        result.box = text;
        result.note = L"message box " + Quoted(Title(window)) + L": " + Quoted(text) +
                      L", answered [" + Escaped(WithoutMnemonics(button->text)) + L"]";
        box_ = window;
        return true;
    }

    std::wstring button_;
    HWND box_ = NULL; // once its button is pressed
};

} // namespace

std::unique_ptr<StepAction> MakeDialogAction(const Step &step)
{
    if (step.verb == Step::kOpen)
        return std::unique_ptr<StepAction>(new OpenAction(step.args[0]));
    return std::unique_ptr<StepAction>(new AnswerAction(step.args[0]));
}
