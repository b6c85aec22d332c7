#include "runner/controls.h"

#include <algorithm>

#include "runner/job.h"

namespace {

std::wstring Cut(std::wstring text)
{
    if (text.size() > kLongestText) {
        text.resize(kLongestText);
        text += L"...";
    }
    return text;
}

struct WindowSearch {
    std::vector<DWORD> processes;
    std::vector<HWND> found;
};

BOOL CALLBACK OnTopLevelWindow(HWND window, LPARAM context)
{
    auto search = (WindowSearch *)context;
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    if (IsWindowVisible(window) &&
        std::find(search->processes.begin(), search->processes.end(), process) !=
            search->processes.end())
        search->found.push_back(window);
    return TRUE;
}

struct ControlSearch {
    std::vector<Control> *controls;
    UINT ms;
    bool answering;
};

BOOL CALLBACK OnControl(HWND window, LPARAM context)
{
    auto search = (ControlSearch *)context;
    Control control;
    control.window = window;
    control.style = GetWindowLongW(window, GWL_STYLE);
    control.kind = KindOf(window, control.style);
    control.className = ClassOf(window);
    control.ownerDrawn = (control.button() && (control.style & BS_TYPEMASK) == BS_OWNERDRAW) ||
                         (control.kind == Control::kStatic &&
                          (control.style & SS_TYPEMASK) == SS_OWNERDRAW);
    control.visible = IsWindowVisible(window);
    control.enabled = IsWindowEnabled(window);
    control.id = GetDlgCtrlID(window);
    if (!ControlText(window, control.text, search->ms)) {
        search->answering = false;
        return FALSE;
    }
    search->controls->push_back(control);
    return TRUE;
}

BOOL CALLBACK OnDescendant(HWND window, LPARAM context)
{
    auto found = (std::vector<HWND> *)context;
    found->push_back(window);
    return TRUE;
}

std::vector<HWND> Descendants(HWND window)
{
    std::vector<HWND> found;
    EnumChildWindows(window, OnDescendant, (LPARAM)&found);
    return found;
}

// Wine's console windows and Windows' own (which belongs to conhost, outside the job, but
// the program may have a console window of its own making).
bool IsConsoleWindow(HWND window)
{
    std::wstring name = ClassOf(window);
    return name == L"ConsoleWindowClass" || name == L"WineConsoleClass";
}

// Whether name names the control: its text, with or without its & marks, or #ID.
bool Named(const Control &control, const std::wstring &name)
{
    int id;
    if (ParseControlId(name, id))
        return (control.id & 0xFFFF) == (id & 0xFFFF);
    return SameText(WithoutMnemonics(control.text), name) || SameText(control.text, name);
}

} // namespace

std::vector<HWND> ShownWindows(HANDLE job)
{
    WindowSearch search{JobProcesses(job), {}};
    if (!search.processes.empty())
        EnumWindows(OnTopLevelWindow, (LPARAM)&search);
    return search.found;
}

HWND MainWindow(HANDLE job, UINT ms)
{
    std::wstring text;
    for (HWND window : ShownWindows(job))
        if (!GetWindow(window, GW_OWNER) && !IsConsoleWindow(window) &&
            !IsMessageBox(window, text, ms))
            return window;
    return NULL;
}

HWND WindowTitled(HANDLE job, const std::wstring &part)
{
    for (HWND window : ShownWindows(job))
        if (HasText(Title(window), part))
            return window;
    return NULL;
}

std::wstring Title(HWND window)
{
    std::wstring text(kLongestText + 2, L'\0');
    text.resize(std::max(0, GetWindowTextW(window, &text[0], (int)text.size())));
    return Cut(text);
}

std::wstring ClassOf(HWND window)
{
    wchar_t name[256];
    return std::wstring(name, std::max(0, GetClassNameW(window, name, 256)));
}

bool ControlText(HWND control, std::wstring &text, UINT ms)
{
    text.assign(kLongestText + 2, L'\0');
    DWORD_PTR copied = 0;
    if (!SendMessageTimeoutW(control, WM_GETTEXT, text.size(), (LPARAM)&text[0],
                             SMTO_ABORTIFHUNG, ms, &copied)) {
        text.clear();
        // A timeout is a hang; otherwise the control went meanwhile, or the system refused
        // the message (an elevated program's control).
        return GetLastError() != ERROR_TIMEOUT;
    }
    text.resize(std::min<size_t>(copied, text.size() - 1));
    text = Cut(text);
    return true;
}

// By the class name, and for a control of a framework's class by the system class it is made
// from (TButton, WindowsForms10.BUTTON..., TEdit).
Control::Kind KindOf(HWND control, LONG style)
{
    wchar_t real[64] = L"";
    RealGetWindowClassW(control, real, 64);
    std::wstring name = ClassOf(control) + L" " + real;
    if (HasText(name, L"button")) {
        switch (style & BS_TYPEMASK) {
        case BS_CHECKBOX: case BS_AUTOCHECKBOX: case BS_3STATE: case BS_AUTO3STATE:
            return Control::kCheckBox;
        case BS_RADIOBUTTON: case BS_AUTORADIOBUTTON:
            return Control::kRadioButton;
        case BS_GROUPBOX:
            return Control::kGroupBox;
        default:
            return Control::kPushButton;
        }
    }
    if (HasText(name, L"combobox"))
        return Control::kComboBox;
    if (HasText(name, L"listbox"))
        return Control::kListBox;
    if (HasText(name, L"listview"))
        return Control::kListView;
    if (HasText(name, L"treeview"))
        return Control::kTreeView;
    if (HasText(name, L"tabcontrol"))
        return Control::kTab;
    if (HasText(name, L"edit"))
        return Control::kEdit;
    if (HasText(name, L"static"))
        return Control::kStatic;
    return Control::kOther;
}

bool ReadControls(HWND window, std::vector<Control> &controls, UINT ms)
{
    controls.clear();
    ControlSearch search{&controls, ms, true};
    EnumChildWindows(window, OnControl, (LPARAM)&search);
    return search.answering;
}

bool IsClickable(const Control &control)
{
    return control.kind == Control::kPushButton || control.kind == Control::kCheckBox ||
           control.kind == Control::kRadioButton;
}

bool IsPushButton(const Control &control) { return control.kind == Control::kPushButton; }

bool IsCheckable(const Control &control)
{
    return control.kind == Control::kCheckBox || control.kind == Control::kRadioButton;
}

bool IsChoice(const Control &control)
{
    return control.kind == Control::kComboBox || control.kind == Control::kListBox ||
           control.kind == Control::kListView || control.kind == Control::kTreeView;
}

const Control *FindControl(const std::vector<Control> &controls, const std::wstring &name,
                           bool (*passes)(const Control &))
{
    const Control *best = nullptr;
    for (const Control &control : controls) {
        if (!passes(control) || !Named(control, name))
            continue;
        if (control.visible && control.enabled)
            return &control;
        if (!best || (control.visible && !best->visible))
            best = &control;
    }
    return best;
}

namespace {

bool IsEdit(const Control &control) { return control.kind == Control::kEdit; }

// The index of the control named #ID, or of the label named, after which the control is.
size_t NamedIndex(const std::vector<Control> &controls, const std::wstring &name)
{
    int id;
    bool byId = ParseControlId(name, id);
    for (size_t i = 0; i < controls.size(); i++) {
        std::wstring label = WithoutMnemonics(controls[i].text);
        if (byId ? Named(controls[i], name)
                 : controls[i].kind == Control::kStatic &&
                       (SameText(label, name) || SameText(label, name + L":")))
            return i;
    }
    return controls.size();
}

} // namespace

const Control *LabeledControl(const std::vector<Control> &controls, const std::wstring &name,
                              bool (*passes)(const Control &), const Control *&named)
{
    int id;
    size_t found = NamedIndex(controls, name);
    size_t at = ParseControlId(name, id) ? found : found + 1;
    // A combo box's own edit box comes right after it.
    if (passes == IsEdit && at + 1 < controls.size() &&
        controls[at].kind == Control::kComboBox &&
        IsChild(controls[at].window, controls[at + 1].window))
        at++;
    if (at < controls.size() && passes(controls[at]))
        return &controls[at];
    named = found < controls.size() ? &controls[found] : nullptr;
    return nullptr;
}

const Control *EditBox(const std::vector<Control> &controls, const std::wstring &name,
                       const Control *&named)
{
    return LabeledControl(controls, name, IsEdit, named);
}

int StandardButtonId(const std::wstring &name)
{
    const struct {
        const wchar_t *name;
        int id;
    } ids[] = {{L"OK", IDOK},         {L"Cancel", IDCANCEL}, {L"Abort", IDABORT},
               {L"Retry", IDRETRY},   {L"Ignore", IDIGNORE}, {L"Yes", IDYES},
               {L"No", IDNO},         {L"Close", IDCLOSE},   {L"Help", IDHELP},
               {L"Try Again", IDTRYAGAIN}, {L"Continue", IDCONTINUE}};
    for (const auto &known : ids)
        if (SameText(name, known.name))
            return known.id;
    return 0;
}

bool IsDialog(HWND window) { return ClassOf(window) == L"#32770"; }

bool IsMessageBox(HWND window, std::wstring &text, UINT ms)
{
    text.clear();
    std::vector<Control> controls;
    if (!IsDialog(window) || !ReadControls(window, controls, ms))
        return false;
    bool hasText = false;
    for (const Control &control : controls) {
        if (control.kind != Control::kPushButton && control.kind != Control::kStatic)
            return false;
        if (control.kind == Control::kStatic && (control.id & 0xFFFF) == 0xFFFF) {
            hasText = true;
            text = control.text;
        }
    }
    return hasText;
}

HWND FileNameBox(HWND dialog)
{
    const int kEdt1 = 0x480, kCmb13 = 0x47C;
    for (HWND control : Descendants(dialog)) {
        if (!IsWindowVisible(control))
            continue;
        LONG style = GetWindowLongW(control, GWL_STYLE);
        Control::Kind kind = KindOf(control, style);
        int id = GetDlgCtrlID(control);
        if (id == kEdt1 && kind == Control::kEdit)
            return control;
        if (id == kCmb13)
            for (HWND inside : Descendants(control))
                if (KindOf(inside, GetWindowLongW(inside, GWL_STYLE)) == Control::kEdit)
                    return inside;
    }
    return NULL;
}

bool SetControlText(HWND control, const std::wstring &text, UINT ms)
{
    DWORD_PTR result = 0;
    if (!SendMessageTimeoutW(control, WM_SETTEXT, 0, (LPARAM)text.c_str(), SMTO_ABORTIFHUNG, ms,
                             &result))
        return false;
    LONG style = GetWindowLongW(control, GWL_STYLE);
    if (KindOf(control, style) != Control::kEdit || !(style & ES_MULTILINE))
        return true;
    WPARAM changed = MAKEWPARAM(GetDlgCtrlID(control), EN_CHANGE);
    return SendMessageTimeoutW(GetParent(control), WM_COMMAND, changed, (LPARAM)control,
                               SMTO_ABORTIFHUNG, ms, &result) != 0;
}
