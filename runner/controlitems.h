// The items of the controls that offer a choice (combo box, list box, list view, tree view) and
// the tabs of a tab control, read and chosen from another process as a person's choice would
// choose them: the control tells the program itself, or is made to, as it does for a click.
// Every message has a short timeout (kStepAnswerMs): false, with why, when the control does
// not answer or its items cannot be read.
#ifndef MIRDU_RUNNER_CONTROLITEMS_H
#define MIRDU_RUNNER_CONTROLITEMS_H

#include <windows.h>

#include <string>
#include <vector>

#include "runner/controls.h"

// How many items a control is read up to.
const size_t kMostItems = 10000;

// The texts of the items of a combo box, list box or list view (its first column), in order.
bool ItemTexts(const Control &control, std::vector<std::wstring> &texts, std::wstring &why);
// Selects the item as a person's click on it would; false with why.
bool ChooseItem(const Control &control, int index, std::wstring &why);
// Whether the item is the one selected (one of those selected, where several may be).
bool ItemChosen(const Control &control, int index);

struct TreeItem {
    unsigned long long handle = 0; // the control's HTREEITEM, as wide as the program's
    std::wstring text;
};
// The children of a tree view's item, or its roots for parent 0.
bool TreeChildren(HWND tree, unsigned long long parent, std::vector<TreeItem> &items,
                  std::wstring &why);
// Opens the item, so that a program that fills its children when it opens does so.
void ExpandTreeItem(HWND tree, unsigned long long item);
// Makes the item the selected one, which the control tells the program.
bool ChooseTreeItem(HWND tree, unsigned long long item, std::wstring &why);
bool TreeItemChosen(HWND tree, unsigned long long item);

// The texts of a tab control's tabs, and the index of the one shown (-1 for none).
bool TabTexts(HWND tab, std::vector<std::wstring> &texts, int &shown, std::wstring &why);
// Shows the tab as a click on it does: the control tells the program, which changes the page.
bool ShowTab(HWND tab, int index, std::wstring &why);

#endif
