// The fill step: an edit box's text set as typing it would set it.
#include "runner/stepaction.h"

namespace {

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
        return Offers(controls, IsClickable, L"");
    return L"it has labels: " + (labels.empty() ? L"none" : labels) +
           L"; edit boxes: " + (boxes.empty() ? L"none" : boxes);
}

// A fill step's edit box, or what is missing.
const Control *FindBox(const std::vector<Control> &controls, const std::wstring &name,
                       const std::wstring &title, StepTry &t)
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

class FillAction : public StepAction {
public:
    FillAction(const std::wstring &name, const std::wstring &text) : name_(name), text_(text) {}

    StepTry Try(StepScene &scene, StepResult &result) override
    {
        StepTry t;
        if (!box_ && !Enter(scene, result, t))
            return t;
        // What the box holds now: a program may refuse or change what is typed.
        std::wstring now, expected = text_.size() > kLongestText
                                         ? text_.substr(0, kLongestText) + L"..."
                                         : text_;
        if (!ControlText(box_, now, kStepAnswerMs))
            t.waiting = L"the box " + Named(name_) + L" does not answer";
        else if (now != expected)
            t.waiting = L"the box " + Named(name_) + L" holds " + Quoted(now) + L", not the text";
        t.done = t.waiting.empty();
        return t;
    }

private:
    bool Enter(StepScene &scene, StepResult &result, StepTry &t)
    {
        std::vector<Control> controls;
        HWND window = scene.Controls(controls, t);
        if (!window)
            return false;
        const Control *box = FindBox(controls, name_, Title(window), t);
        if (!box || Unready(scene.job(), window, *box, name_, t))
            return false;
        if (!SetControlText(box->window, text_, kStepAnswerMs)) {
            t.waiting = Quoted(Title(window)) + L" does not answer";
            return false;
        }
        Acted(result, box->window, text_);
        box_ = box->window;
        return true;
    }

    std::wstring name_, text_;
    HWND box_ = NULL; // once the text is in it
};

} // namespace

std::unique_ptr<StepAction> MakeFillAction(const Step &step)
{
    return std::unique_ptr<StepAction>(new FillAction(step.args[0], step.args[1]));
}
