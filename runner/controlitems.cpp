#include "runner/controlitems.h"

#include <commctrl.h>
#include <stdint.h>

#include <algorithm>

#include "runner/remote.h"
#include "runner/report.h"

namespace {

// The common controls' structures as a program of either machine type lays them out, P being
// its pointer's width.
template <typename P> struct ListViewItem {
    uint32_t mask;
    int32_t item, subItem;
    uint32_t state, stateMask;
    alignas(sizeof(P)) P text;
    int32_t textMax, image;
    alignas(sizeof(P)) P param;
    int32_t indent, groupId;
    uint32_t columns;
    alignas(sizeof(P)) P columnList;
    P columnFormats;
    int32_t group;
};
static_assert(sizeof(ListViewItem<uint32_t>) == 60 && sizeof(ListViewItem<uint64_t>) == 88,
              "LVITEMW");

template <typename P> struct TabItem {
    uint32_t mask, state, stateMask;
    alignas(sizeof(P)) P text;
    int32_t textMax, image;
    alignas(sizeof(P)) P param;
};
static_assert(sizeof(TabItem<uint32_t>) == 28 && sizeof(TabItem<uint64_t>) == 40, "TCITEMW");

std::wstring NoAnswer() { return L"the control does not answer"; }

// The item sent to the control in the program's memory, and what it wrote back: the item and,
// when text, the text it copied.
template <typename Item>
bool Exchange(HWND control, UINT message, WPARAM w, Item &item, RemoteMemory &memory,
              std::wstring *text, DWORD_PTR &result)
{
    wchar_t copied[kRemoteTextChars] = L"";
    if (!memory.Write(0, &item, sizeof item) || !memory.Write(kRemoteTextAt, copied, sizeof copied[0]) ||
        !SendToControl(control, message, w, (LPARAM)(ULONG_PTR)memory.address(), result) ||
        !memory.Read(0, &item, sizeof item))
        return false;
    if (text && memory.Read(kRemoteTextAt, copied, sizeof copied)) {
        copied[kRemoteTextChars - 1] = 0;
        *text = copied;
    }
    return true;
}

template <typename P> bool ListViewText(HWND list, int index, RemoteMemory &memory,
                                        std::wstring &text)
{
    ListViewItem<P> item = {};
    item.text = (P)(memory.address() + kRemoteTextAt);
    item.textMax = kRemoteTextChars;
    DWORD_PTR length;
    return Exchange(list, LVM_GETITEMTEXTW, index, item, memory, &text, length);
}

template <typename P> bool SetListViewState(HWND list, int index, UINT state, UINT mask,
                                            RemoteMemory &memory)
{
    ListViewItem<P> item = {};
    item.state = state;
    item.stateMask = mask;
    DWORD_PTR done;
    return Exchange(list, LVM_SETITEMSTATE, (WPARAM)index, item, memory, nullptr, done) && done;
}

template <typename P> bool TabText(HWND tab, int index, RemoteMemory &memory, std::wstring &text)
{
    TabItem<P> item = {};
    item.mask = TCIF_TEXT;
    item.text = (P)(memory.address() + kRemoteTextAt);
    item.textMax = kRemoteTextChars;
    DWORD_PTR done;
    return Exchange(tab, TCM_GETITEMW, index, item, memory, &text, done) && done;
}

struct Messages {
    UINT count, length, text;
};

// The text of a combo box's or list box's items, which the system copies between processes
// for these messages where the items have texts of their own.
bool StringTexts(const Control &control, const Messages &asked, std::vector<std::wstring> &texts,
                 std::wstring &why)
{
    DWORD_PTR count = 0, length = 0, copied = 0;
    if (!SendToControl(control.window, asked.count, 0, 0, count))
        return why = NoAnswer(), false;
    for (DWORD_PTR i = 0; i < count && i < kMostItems; i++) {
        if (!SendToControl(control.window, asked.length, i, 0, length))
            return why = NoAnswer(), false;
        // The control copies the whole text: room for all of it, however long (LB_ERR: none).
        std::wstring text((LONG_PTR)length > 0 ? length + 1 : 1, L'\0');
        if ((LONG_PTR)length > 0 &&
            !SendToControl(control.window, asked.text, i, (LPARAM)&text[0], copied))
            return why = NoAnswer(), false;
        text.resize((LONG_PTR)length > 0 ? std::min<DWORD_PTR>(copied, length) : 0);
        texts.push_back(text);
    }
    return true;
}

bool HasOwnTexts(const Control &control)
{
    if (control.kind == Control::kComboBox)
        return (control.style & CBS_HASSTRINGS) ||
               !(control.style & (CBS_OWNERDRAWFIXED | CBS_OWNERDRAWVARIABLE));
    return (control.style & LBS_HASSTRINGS) ||
           !(control.style & (LBS_OWNERDRAWFIXED | LBS_OWNERDRAWVARIABLE));
}

bool ListViewTexts(HWND list, std::vector<std::wstring> &texts, std::wstring &why)
{
    DWORD_PTR count = 0;
    RemoteMemory memory(list, kRemoteSize);
    if (!memory.valid())
        return why = memory.why(), false;
    if (!SendToControl(list, LVM_GETITEMCOUNT, 0, 0, count))
        return why = NoAnswer(), false;
    for (DWORD_PTR i = 0; i < count && i < kMostItems; i++) {
        std::wstring text;
        if (!(memory.is64() ? ListViewText<uint64_t>(list, (int)i, memory, text)
                            : ListViewText<uint32_t>(list, (int)i, memory, text)))
            return why = NoAnswer(), false;
        texts.push_back(text);
    }
    return true;
}

// Tells the parent as the control tells it of a person's choice: WM_COMMAND with the code.
void Notify(const Control &control, WORD code)
{
    DWORD_PTR result;
    // A handler that works long, or opens a dialog, answers late; it was told all the same.
    SendToControl(GetParent(control.window), WM_COMMAND, MAKEWPARAM(control.id, code),
         (LPARAM)control.window, result);
}

bool ChooseInList(const Control &control, int index, std::wstring &why)
{
    DWORD_PTR result;
    bool several = (control.style & (LBS_MULTIPLESEL | LBS_EXTENDEDSEL)) != 0;
    if (several ? !SendToControl(control.window, LB_SETSEL, FALSE, -1, result) ||
                      !SendToControl(control.window, LB_SETSEL, TRUE, index, result) ||
                      !SendToControl(control.window, LB_SETCARETINDEX, index, FALSE, result)
                : !SendToControl(control.window, LB_SETCURSEL, index, 0, result))
        return why = NoAnswer(), false;
    // As a click tells it, where the list box tells its parent at all.
    if (control.style & LBS_NOTIFY)
        Notify(control, LBN_SELCHANGE);
    return true;
}

bool ChooseInListView(const Control &control, int index, std::wstring &why)
{
    RemoteMemory memory(control.window, kRemoteSize);
    if (!memory.valid())
        return why = memory.why(), false;
    auto set = memory.is64() ? SetListViewState<uint64_t> : SetListViewState<uint32_t>;
    // The control tells its parent of each change (LVN_ITEMCHANGED).
    if ((!(control.style & LVS_SINGLESEL) && !set(control.window, -1, 0, LVIS_SELECTED, memory)) ||
        !set(control.window, index, LVIS_SELECTED | LVIS_FOCUSED, LVIS_SELECTED | LVIS_FOCUSED,
             memory))
        return why = NoAnswer(), false;
    DWORD_PTR result;
    SendToControl(control.window, LVM_ENSUREVISIBLE, index, FALSE, result);
    return true;
}

} // namespace

bool ItemTexts(const Control &control, std::vector<std::wstring> &texts, std::wstring &why)
{
    texts.clear();
    if (control.kind == Control::kListView)
        return ListViewTexts(control.window, texts, why);
    if (!HasOwnTexts(control))
        return why = L"its items are drawn by the program, with no texts to choose them by",
               false;
    if (control.kind == Control::kComboBox)
        return StringTexts(control, {CB_GETCOUNT, CB_GETLBTEXTLEN, CB_GETLBTEXT}, texts, why);
    return StringTexts(control, {LB_GETCOUNT, LB_GETTEXTLEN, LB_GETTEXT}, texts, why);
}

bool ChooseItem(const Control &control, int index, std::wstring &why)
{
    if (control.kind == Control::kListBox)
        return ChooseInList(control, index, why);
    if (control.kind == Control::kListView)
        return ChooseInListView(control, index, why);
    // A combo box tells its parent of a choice in its list in this order.
    DWORD_PTR result;
    Notify(control, CBN_DROPDOWN);
    if (!SendToControl(control.window, CB_SETCURSEL, index, 0, result))
        return why = NoAnswer(), false;
    Notify(control, CBN_SELCHANGE);
    Notify(control, CBN_SELENDOK);
    Notify(control, CBN_CLOSEUP);
    return true;
}

bool ItemChosen(const Control &control, int index)
{
    DWORD_PTR result = 0;
    if (control.kind == Control::kComboBox)
        return SendToControl(control.window, CB_GETCURSEL, 0, 0, result) && (int)result == index;
    if (control.kind == Control::kListBox)
        return SendToControl(control.window, LB_GETSEL, index, 0, result) && (int)result > 0;
    return SendToControl(control.window, LVM_GETITEMSTATE, index, LVIS_SELECTED, result) &&
           (result & LVIS_SELECTED);
}

bool TabTexts(HWND tab, std::vector<std::wstring> &texts, int &shown, std::wstring &why)
{
    texts.clear();
    DWORD_PTR count = 0, selected = 0;
    RemoteMemory memory(tab, kRemoteSize);
    if (!memory.valid())
        return why = memory.why(), false;
    if (!SendToControl(tab, TCM_GETITEMCOUNT, 0, 0, count) || !SendToControl(tab, TCM_GETCURSEL, 0, 0, selected))
        return why = NoAnswer(), false;
    shown = (int)selected;
    for (DWORD_PTR i = 0; i < count && i < kMostItems; i++) {
        std::wstring text;
        if (!(memory.is64() ? TabText<uint64_t>(tab, (int)i, memory, text)
                            : TabText<uint32_t>(tab, (int)i, memory, text)))
            return why = NoAnswer(), false;
        texts.push_back(text);
    }
    return true;
}

bool ShowTab(HWND tab, int index, std::wstring &why)
{
    // Not TCM_SETCURSEL, which moves the highlight and tells nobody: setting the focus makes
    // the control change tabs as for a click, and send TCN_SELCHANGING and TCN_SELCHANGE.
    DWORD_PTR result;
    if (!SendToControl(tab, TCM_SETCURFOCUS, index, 0, result))
        return why = NoAnswer(), false;
    return true;
}
