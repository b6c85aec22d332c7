// The tree view's part of controlitems.h.
#include "runner/controlitems.h"

#include <commctrl.h>
#include <stdint.h>

#include "runner/remote.h"

namespace {

template <typename P> struct TreeViewItem {
    uint32_t mask;
    alignas(sizeof(P)) P item;
    uint32_t state, stateMask;
    alignas(sizeof(P)) P text;
    int32_t textMax, image, selectedImage, children;
    alignas(sizeof(P)) P param;
};
static_assert(sizeof(TreeViewItem<uint32_t>) == 40 && sizeof(TreeViewItem<uint64_t>) == 56,
              "TVITEMW");

template <typename P> bool TreeText(HWND tree, unsigned long long handle, RemoteMemory &memory,
                                    std::wstring &text)
{
    TreeViewItem<P> item = {};
    item.mask = TVIF_TEXT | TVIF_HANDLE;
    item.item = (P)handle;
    item.text = (P)(memory.address() + kRemoteTextAt);
    item.textMax = kRemoteTextChars;
    wchar_t copied[kRemoteTextChars] = L"";
    DWORD_PTR done = 0;
    if (!memory.Write(0, &item, sizeof item) || !memory.Write(kRemoteTextAt, copied, sizeof copied[0]) ||
        !SendToControl(tree, TVM_GETITEMW, 0, (LPARAM)(ULONG_PTR)memory.address(), done) || !done ||
        !memory.Read(kRemoteTextAt, copied, sizeof copied))
        return false;
    copied[kRemoteTextChars - 1] = 0;
    text = copied;
    return true;
}

} // namespace

bool TreeChildren(HWND tree, unsigned long long parent, std::vector<TreeItem> &items,
                  std::wstring &why)
{
    items.clear();
    RemoteMemory memory(tree, kRemoteSize);
    if (!memory.valid())
        return why = memory.why(), false;
    DWORD_PTR handle = 0;
    if (!SendToControl(tree, TVM_GETNEXTITEM, parent ? TVGN_CHILD : TVGN_ROOT, (LPARAM)parent, handle))
        return why = L"the control does not answer", false;
    while (handle && items.size() < kMostItems) {
        TreeItem item;
        item.handle = handle;
        if (!(memory.is64() ? TreeText<uint64_t>(tree, handle, memory, item.text)
                            : TreeText<uint32_t>(tree, handle, memory, item.text)) ||
            !SendToControl(tree, TVM_GETNEXTITEM, TVGN_NEXT, (LPARAM)handle, handle))
            return why = L"the control does not answer", false;
        items.push_back(item);
    }
    return true;
}

void ExpandTreeItem(HWND tree, unsigned long long item)
{
    // The control asks the program first (TVN_ITEMEXPANDING), which may fill the children then.
    DWORD_PTR result;
    SendToControl(tree, TVM_EXPAND, TVE_EXPAND, (LPARAM)item, result);
}

bool ChooseTreeItem(HWND tree, unsigned long long item, std::wstring &why)
{
    // The control tells the program (TVN_SELCHANGING, TVN_SELCHANGED) as for a click.
    DWORD_PTR result;
    if (!SendToControl(tree, TVM_SELECTITEM, TVGN_CARET, (LPARAM)item, result))
        return why = L"the control does not answer", false;
    SendToControl(tree, TVM_ENSUREVISIBLE, 0, (LPARAM)item, result);
    return true;
}

bool TreeItemChosen(HWND tree, unsigned long long item)
{
    DWORD_PTR selected = 0;
    return SendToControl(tree, TVM_GETNEXTITEM, TVGN_CARET, 0, selected) && selected == item;
}
