// A menu request answered inside the program's thread: each level of the path opened as a
// person's mouse opens it, so that a program that fills or enables its menus when they open
// (WM_INITMENUPOPUP) does so, and the item's command posted as choosing it posts it.
#include <windows.h>

#include <string>
#include <vector>

#include "hook/protocol.h"
#include "runner/names.h"

namespace {

struct Item {
    std::wstring text;
    UINT id = 0, state = 0;
    HMENU opens = NULL;
    bool separator = false;
};

Item ItemAt(HMENU menu, int position)
{
    wchar_t text[512] = L"";
    MENUITEMINFOW info = {};
    info.cbSize = sizeof info;
    info.fMask = MIIM_STRING | MIIM_ID | MIIM_STATE | MIIM_FTYPE | MIIM_SUBMENU;
    info.dwTypeData = text;
    info.cch = ARRAYSIZE(text);
    Item item;
    if (!GetMenuItemInfoW(menu, position, TRUE, &info))
        return item;
    item.text = text;
    item.id = info.wID;
    item.state = info.fState;
    item.opens = info.hSubMenu;
    item.separator = (info.fType & MFT_SEPARATOR) != 0;
    return item;
}

int FindItem(HMENU menu, const std::wstring &name)
{
    int count = GetMenuItemCount(menu);
    for (int position = 0; position < count; position++) {
        Item item = ItemAt(menu, position);
        if (!item.separator && NamesMenuItem(item.text, name))
            return position;
    }
    return -1;
}

// As protocol.h lays them out; as many as fit.
void ListItems(HMENU menu, wchar_t *out, size_t room)
{
    std::wstring list;
    int count = GetMenuItemCount(menu);
    for (int position = 0; position < count; position++) {
        Item item = ItemAt(menu, position);
        if (item.separator)
            continue;
        list += (item.state & MFS_DISABLED) ? L'-' : L'+';
        list += item.opens ? L'>' : L' ';
        list += std::to_wstring(item.id) + L" " + item.text + L"\n";
    }
    lstrcpynW(out, list.c_str(), (int)room);
}

// The levels walked, as the window is told of them, and closed again in the reverse order.
class MenuWalk {
public:
    MenuWalk(HWND window, HMENU bar) : window_(window)
    {
        SendMessageW(window_, WM_ENTERMENULOOP, FALSE, 0);
        SendMessageW(window_, WM_INITMENU, (WPARAM)bar, 0);
    }
    ~MenuWalk()
    {
        for (size_t i = opened_.size(); i-- > 0;)
            SendMessageW(window_, WM_UNINITMENUPOPUP, (WPARAM)opened_[i], 0);
        SendMessageW(window_, WM_MENUSELECT, MAKEWPARAM(0, 0xFFFF), 0);
        SendMessageW(window_, WM_EXITMENULOOP, FALSE, 0);
    }
    void Select(HMENU menu, int position, const Item &item)
    {
        UINT flags = MF_HILITE | MF_MOUSESELECT | (item.opens ? MF_POPUP : 0);
        SendMessageW(window_, WM_MENUSELECT,
                     MAKEWPARAM(item.opens ? (UINT)position : item.id, flags), (LPARAM)menu);
    }
    void Open(HMENU menu, int position, const Item &item)
    {
        Select(menu, position, item);
        SendMessageW(window_, WM_INITMENUPOPUP, (WPARAM)item.opens, MAKELPARAM(position, FALSE));
        opened_.push_back(item.opens);
    }

private:
    HWND window_;
    std::vector<HMENU> opened_;
};

// One level of the path: its item found, opened when it is a menu; kAsked to go on.
hook::Outcome Step(MenuWalk &walk, HMENU &menu, const std::wstring &name, bool last,
                   std::wstring &found, hook::MenuRequest &request)
{
    int position = FindItem(menu, name);
    if (position < 0)
        return hook::kMissing;
    Item item = ItemAt(menu, position);
    found += (found.empty() ? L"" : L">") + MenuItemShown(item.text);
    if (item.state & MFS_DISABLED)
        return hook::kDisabled;
    if (!item.opens && !last)
        return hook::kNotAMenu;
    if (item.opens) {
        walk.Open(menu, position, item);
        menu = item.opens;
        return last ? hook::kNotAnItem : hook::kAsked;
    }
    walk.Select(menu, position, item);
    request.id = item.id;
    return hook::kChosen;
}

hook::Outcome Walk(HWND window, HMENU menu, hook::MenuRequest &request)
{
    std::vector<std::wstring> levels = PathLevels(request.path);
    std::wstring found;
    hook::Outcome outcome = hook::kAsked;
    MenuWalk walk(window, menu);
    size_t level = 0;
    while (outcome == hook::kAsked && level < levels.size()) {
        outcome = Step(walk, menu, levels[level], level + 1 == levels.size(), found, request);
        // A path that ends at a menu lists that menu's items, as the level after it.
        if (outcome == hook::kAsked || outcome == hook::kNotAnItem)
            level++;
    }
    if (outcome == hook::kAsked) // no path at all
        outcome = hook::kMissing;
    request.level = (uint32_t)level;
    lstrcpynW(request.found, found.c_str(), hook::kPathChars);
    ListItems(menu, request.items, hook::kItemsChars);
    return outcome;
}

} // namespace

void AnswerMenu(HWND window, hook::MenuRequest &request)
{
    request.path[hook::kPathChars - 1] = 0;
    HMENU bar = GetMenu(window);
    hook::Outcome outcome = bar && IsMenu(bar) ? Walk(window, bar, request) : hook::kNoMenu;
    // Posted once the menus are closed, as a click on the item does: a command that opens a
    // modal dialog returns only when that closes.
    if (outcome == hook::kChosen)
        PostMessageW(window, WM_COMMAND, MAKEWPARAM(request.id, 0), 0);
    InterlockedExchange((volatile LONG *)&request.outcome, (LONG)outcome);
}
