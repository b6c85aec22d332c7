// The steps about windows as a whole: window, wait and close.
#include "runner/stepaction.h"

namespace {

class WindowAction : public StepAction {
public:
    explicit WindowAction(const std::wstring &titlePart) : titlePart_(titlePart) {}

    StepTry Try(StepScene &scene, StepResult &result) override
    {
        StepTry t;
        if (HWND window = WindowTitled(scene.job(), titlePart_)) {
            scene.Choose(window, titlePart_);
            Acted(result, window, Title(window));
            t.done = true;
            return t;
        }
        t.waiting = L"no window of the program has " + Quoted(titlePart_) + L" in its title";
        t.has = Shows(scene.job());
        return t;
    }

private:
    std::wstring titlePart_;
};

// Until the text shows in a console line since the previous step, or in a window.
class WaitAction : public StepAction {
public:
    explicit WaitAction(const std::wstring &text) : text_(text) {}

    StepTry Try(StepScene &scene, StepResult &result) override
    {
        StepTry t;
        for (; scene.scanned < scene.lines.size(); scene.scanned++)
            if (HasText(scene.lines[scene.scanned], text_)) {
                result.found = scene.lines[scene.scanned];
                t.done = true;
                return t;
            }
        for (HWND window : ShownWindows(scene.job())) {
            std::vector<Control> controls;
            if (HasText(Title(window), text_)) {
                Acted(result, window, Title(window));
                t.done = true;
                return t;
            }
            ReadControls(window, controls, kStepAnswerMs);
            for (const Control &control : controls)
                if (control.visible && HasText(control.text, text_)) {
                    Acted(result, control.window, control.text);
                    t.done = true;
                    return t;
                }
        }
        t.waiting = L"no " + Quoted(text_) + L" in the program's windows or console lines";
        t.has = Shows(scene.job());
        return t;
    }

private:
    std::wstring text_;
};

class CloseAction : public StepAction {
public:
    StepTry Try(StepScene &scene, StepResult &result) override
    {
        StepTry t;
        HWND window = scene.Window(t);
        if (!window)
            return t;
        PostMessageW(window, WM_SYSCOMMAND, SC_CLOSE, 0);
        Acted(result, window, Title(window));
        scene.Forget();
        t.done = true;
        return t;
    }
};

} // namespace

std::unique_ptr<StepAction> MakeWindowAction(const Step &step)
{
    if (step.verb == Step::kWindow)
        return std::unique_ptr<StepAction>(new WindowAction(step.args[0]));
    if (step.verb == Step::kWait)
        return std::unique_ptr<StepAction>(new WaitAction(step.args[0]));
    return std::unique_ptr<StepAction>(new CloseAction());
}
