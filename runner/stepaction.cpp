#include "runner/stepaction.h"

namespace {

const wchar_t kDrawnWithoutWindows[] = L"it has no controls of its own: what it shows is drawn "
                                       L"without windows, which messages cannot reach";

} // namespace

HWND StepScene::Window(StepTry &t)
{
    if (titlePart_.empty()) {
        if (HWND main = MainWindow(job_, kStepAnswerMs))
            return main;
        t.waiting = L"the program shows no main window";
    } else {
        if (IsWindow(window_) && IsWindowVisible(window_) && HasText(Title(window_), titlePart_))
            return window_;
        if ((window_ = WindowTitled(job_, titlePart_)))
            return window_;
        t.waiting = L"no window of the program has " + Quoted(titlePart_) + L" in its title";
    }
    t.has = Shows(job_);
    return NULL;
}

HWND StepScene::Controls(std::vector<Control> &controls, StepTry &t)
{
    HWND window = Window(t);
    if (window && !ReadControls(window, controls, kStepAnswerMs)) {
        t.waiting = Quoted(Title(window)) + L" does not answer";
        return NULL;
    }
    return window;
}

void StepScene::Choose(HWND window, const std::wstring &titlePart)
{
    window_ = window;
    titlePart_ = titlePart;
}

void StepScene::Forget()
{
    window_ = NULL;
    titlePart_.clear();
}

void Acted(StepResult &result, HWND control, const std::wstring &text)
{
    result.acted = true;
    result.controlClass = ClassOf(control);
    // A top-level window's id field holds its menu.
    result.controlId =
        (GetWindowLongW(control, GWL_STYLE) & WS_CHILD) ? GetDlgCtrlID(control) : 0;
    result.controlText = text;
}

void PostedWait::Posted(HWND window)
{
    window_ = window;
    answers_ = 0;
    last_ = GetTickCount64();
}

bool PostedWait::Taken()
{
    if (GetTickCount64() - last_ < kRetryMs)
        return false;
    DWORD_PTR result;
    if (!SendMessageTimeoutW(window_, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, kStepAnswerMs, &result)) {
        // A window that went took what it was given with it.
        answers_ = IsWindow(window_) ? 0 : 2;
        return answers_ == 2;
    }
    last_ = GetTickCount64();
    return ++answers_ >= 2;
}

std::wstring Quoted(const std::wstring &text) { return L"\"" + Escaped(text) + L"\""; }

std::wstring Named(const std::wstring &name) { return name[0] == L'#' ? name : Quoted(name); }

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

std::wstring Listed(const std::vector<std::wstring> &texts)
{
    std::wstring list;
    for (const std::wstring &text : texts)
        list += (list.empty() ? L"" : L", ") + Quoted(text);
    return list;
}

std::wstring Offers(const std::vector<Control> &controls, bool (*passes)(const Control &),
                    const wchar_t *none)
{
    if (controls.empty())
        return kDrawnWithoutWindows;
    std::wstring list;
    for (const Control &control : controls)
        if (passes(control))
            list += (list.empty() ? L"" : L", ") + Shown(control);
    return list.empty() ? std::wstring(none) : L"it has: " + list;
}

std::wstring Shows(HANDLE job)
{
    std::vector<std::wstring> titles;
    for (HWND window : ShownWindows(job))
        titles.push_back(Title(window));
    return titles.empty() ? L"it shows no window" : L"it shows " + Listed(titles);
}

std::wstring Owned(HANDLE job, HWND owner)
{
    std::vector<std::wstring> titles;
    for (HWND window : ShownWindows(job))
        if (GetWindow(window, GW_OWNER) == owner)
            titles.push_back(Title(window));
    return titles.empty() ? L"" : L"the program has a window open over it: " + Listed(titles);
}

bool Unready(HANDLE job, HWND window, const Control &control, const std::wstring &name,
             StepTry &t)
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
