#include "runner/windows.h"

#include <algorithm>
#include <cstddef>


namespace {

// How long a control of another process may take to give its text. A window that does not
// answer in time is asked nothing more: a hung program must not hang the run.
const UINT kAnswerMs = 500;
// A log control can hold pages; a line shows this much of any text.
const size_t kLongestText = 1024;

std::vector<DWORD> JobProcesses(HANDLE job)
{
    const size_t header = offsetof(JOBOBJECT_BASIC_PROCESS_ID_LIST, ProcessIdList);
    std::vector<ULONG_PTR> buffer;
    DWORD room = 32;
    for (;;) {
        buffer.assign(header / sizeof(ULONG_PTR) + room, 0);
        auto list = (JOBOBJECT_BASIC_PROCESS_ID_LIST *)buffer.data();
        BOOL listed = QueryInformationJobObject(job, JobObjectBasicProcessIdList, list,
                                                (DWORD)(buffer.size() * sizeof(ULONG_PTR)), NULL);
        if (!listed && GetLastError() != ERROR_MORE_DATA)
            return {};
        if (listed && list->NumberOfProcessIdsInList >= list->NumberOfAssignedProcesses)
            return std::vector<DWORD>(list->ProcessIdList,
                                      list->ProcessIdList + list->NumberOfProcessIdsInList);
        room = std::max(2 * room, list->NumberOfAssignedProcesses);
    }
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

// The visible top-level windows of the job's processes, topmost first, as EnumWindows goes.
std::vector<HWND> ShownWindows(HANDLE job)
{
    WindowSearch search{JobProcesses(job), {}};
    if (!search.processes.empty())
        EnumWindows(OnTopLevelWindow, (LPARAM)&search);
    return search.found;
}

std::wstring Cut(std::wstring text)
{
    if (text.size() > kLongestText) {
        text.resize(kLongestText);
        text += L"...";
    }
    return text;
}

// The title from the system's copy: no message to the window, so a hung one answers too.
std::wstring Title(HWND window)
{
    std::wstring text(kLongestText + 2, L'\0');
    text.resize(std::max(0, GetWindowTextW(window, &text[0], (int)text.size())));
    return Cut(text);
}

// False when the control's thread does not answer in time.
bool ControlText(HWND control, std::wstring &text)
{
    text.assign(kLongestText + 2, L'\0');
    DWORD_PTR copied = 0;
    if (!SendMessageTimeoutW(control, WM_GETTEXT, text.size(), (LPARAM)&text[0],
                             SMTO_ABORTIFHUNG, kAnswerMs, &copied)) {
        text.clear();
        return !IsWindow(control); // gone meanwhile: no text, and no sign of a hang
    }
    text.resize(std::min<size_t>(copied, text.size() - 1));
    text = Cut(text);
    return true;
}

// Button, and the classes that frameworks make from it (TButton, WindowsForms10.BUTTON...).
bool IsButton(HWND control)
{
    wchar_t name[256];
    int size = GetClassNameW(control, name, 256);
    std::wstring lower(name, std::max(0, size));
    CharLowerBuffW(&lower[0], (DWORD)lower.size());
    return lower.find(L"button") != std::wstring::npos;
}

// As a button shows it: "&&" is an ampersand, a lone "&" underlines the next letter.
std::wstring WithoutMnemonics(const std::wstring &text)
{
    std::wstring shown;
    for (size_t i = 0; i < text.size(); i++) {
        if (text[i] == L'&' && ++i == text.size())
            break;
        shown += text[i];
    }
    return shown;
}

// C's escapes for what would end the quotes or the line; CR LF becomes one \n.
std::wstring Escaped(const std::wstring &text)
{
    static const wchar_t hex[] = L"0123456789abcdef";
    std::wstring out;
    for (size_t i = 0; i < text.size(); i++) {
        wchar_t c = text[i];
        if (c == L'\r' && i + 1 < text.size() && text[i + 1] == L'\n')
            continue;
        if (c == L'"' || c == L'\\') {
            out += L'\\';
            out += c;
        } else if (c == L'\n') {
            out += L"\\n";
        } else if (c == L'\r') {
            out += L"\\r";
        } else if (c == L'\t') {
            out += L"\\t";
        } else if (c < 0x20 || (c >= 0x7f && c < 0xa0) || c == 0x2028 || c == 0x2029) {
            out += L"\\u";
            for (int shift = 12; shift >= 0; shift -= 4)
                out += hex[(c >> shift) & 15];
        } else {
            out += c;
        }
    }
    return out;
}

struct ControlTexts {
    std::wstring shown;
    bool answering = true;
};

BOOL CALLBACK OnControl(HWND control, LPARAM context)
{
    auto controls = (ControlTexts *)context;
    if (!IsWindowVisible(control))
        return TRUE;
    std::wstring text;
    if (!ControlText(control, text)) {
        controls->answering = false;
        return FALSE;
    }
    if (text.empty())
        return TRUE;
    if (IsButton(control))
        controls->shown += L" [" + Escaped(WithoutMnemonics(text)) + L"]";
    else
        controls->shown += L" \"" + Escaped(text) + L"\"";
    return TRUE;
}

std::wstring Describe(HWND window)
{
    ControlTexts controls;
    EnumChildWindows(window, OnControl, (LPARAM)&controls);
    std::wstring line = L"window \"" + Escaped(Title(window)) + L"\"";
    if (!controls.shown.empty())
        line += L":" + controls.shown;
    if (!controls.answering)
        line += L" (not responding)";
    return line;
}

} // namespace

std::vector<std::wstring> DescribeWindows(HANDLE job)
{
    std::vector<std::wstring> lines;
    for (HWND window : ShownWindows(job))
        lines.push_back(Describe(window));
    return lines;
}
