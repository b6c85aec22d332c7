// How steps and the window report name windows and controls: texts as a control shows them,
// escaped to stay on one line, compared regardless of case; "#ID" for a control's id.
#ifndef MIRDU_RUNNER_NAMES_H
#define MIRDU_RUNNER_NAMES_H

#include <string>
#include <vector>

// "#ID": a control's id, decimal or 0x hex.
bool ParseControlId(const std::wstring &name, int &id);
// As a button shows it: "&&" is an ampersand, a lone "&" underlines the next letter.
std::wstring WithoutMnemonics(const std::wstring &text);
// C's escapes for what would end the quotes or the line; CR LF becomes one \n.
std::wstring Escaped(const std::wstring &text);
bool SameText(const std::wstring &a, const std::wstring &b);     // regardless of case
bool HasText(const std::wstring &text, const std::wstring &part); // regardless of case

// A menu item's text as a person reads it: without its & marks and the shortcut after a tab.
std::wstring MenuItemShown(const std::wstring &itemText);
// Whether name names the menu item: its text as shown, regardless of case, where a trailing
// "..." (or an ellipsis character) may be left out.
bool NamesMenuItem(const std::wstring &itemText, const std::wstring &name);
// The levels of a menu or tree path: "File>Save As..." is "File" and "Save As...".
std::vector<std::wstring> PathLevels(const std::wstring &path);

#endif
