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

const size_t kTextAt = 128;
const int kTextChars = 512;
const size_t kRemoteSize = kTextAt + kTextChars * sizeof(wchar_t);

bool Send(HWND control, UINT message, WPARAM w, LPARAM l, DWORD_PTR &result)
{
    return SendMessageTimeoutW(control, message, w, l, SMTO_ABORTIFHUNG, kStepAnswerMs,
                               &result) != 0;
}

template <typename P> bool TreeText(HWND tree, unsigned long long handle, RemoteMemory &memory,
                                    std::wstring &text)
{
    TreeViewItem<P> item = {};
    item.mask = TVIF_TEXT | TVIF_HANDLE;
    item.item = (P)handle;
    item.text = (P)(memory.address() + kTextAt);
    item.textMax = kTextChars;
    wchar_t copied[kTextChars] = L"";
    DWORD_PTR done = 0;
    if (!memory.Write(0, &item, sizeof item) || !memory.Write(kTextAt, copied, sizeof copied[0]) ||
        !Send(tree, TVM_GETITEMW, 0, (LPARAM)(ULONG_PTR)memory.address(), done) || !done ||
        !memory.Read(kTextAt, copied, sizeof copied))
        return false;
    copied[kTextChars - 1] = 0;
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
    if (!Send(tree, TVM_GETNEXTITEM, parent ? TVGN_CHILD : TVGN_ROOT, (LPARAM)parent, handle))
        return why = L"the control does not answer", false;
    while (handle && items.size() < kMostItems) {
        TreeItem item;
        item.handle = handle;
        if (!(memory.is64() ? TreeText<uint64_t>(tree, handle, memory, item.text)
                            : TreeText<uint32_t>(tree, handle, memory, item.text)) ||
            !Send(tree, TVM_GETNEXTITEM, TVGN_NEXT, (LPARAM)handle, handle))
            return why = L"the control does not answer", false;
        items.push_back(item);
    }
    return true;
}

void ExpandTreeItem(HWND tree, unsigned long long item)
{
    // The control asks the program first (TVN_ITEMEXPANDING), which may fill the children then.
    DWORD_PTR result;
    Send(tree, TVM_EXPAND, TVE_EXPAND, (LPARAM)item, result);
}

bool ChooseTreeItem(HWND tree, unsigned long long item, std::wstring &why)
{
    // The control tells the program (TVN_SELCHANGING, TVN_SELCHANGED) as for a click.
    DWORD_PTR result;
    if (!Send(tree, TVM_SELECTITEM, TVGN_CARET, (LPARAM)item, result))
        return why = L"the control does not answer", false;
    Send(tree, TVM_ENSUREVISIBLE, 0, (LPARAM)item, result);
    return true;
}

bool TreeItemChosen(HWND tree, unsigned long long item)
{
    DWORD_PTR selected = 0;
    return Send(tree, TVM_GETNEXTITEM, TVGN_CARET, 0, selected) && selected == item;
}
