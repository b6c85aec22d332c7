// What mirdu-run.exe asks of mirdu-hook.dll inside a program, and the answer: a menu of the
// program read and chosen in the program's own thread, where other processes cannot read it
// (Wine gives them no menu's items). The engine writes a MenuRequest into shared memory named
// RequestName(its process id, a number) and posts kRequestMessage to the window, with the two
// numbers; the hook answers when the program's thread takes the message. The layout holds no
// pointers or handles, so that programs and engines of either machine type share it.
#ifndef MIRDU_HOOK_PROTOCOL_H
#define MIRDU_HOOK_PROTOCOL_H

#include <stdint.h>

#include <string>

namespace hook {

const wchar_t kRequestMessage[] = L"mirdu-hook-request";
// The hook procedure that mirdu-hook.dll exports, for SetWindowsHookEx(WH_GETMESSAGE).
const char kHookProcedure[] = "MirduGetMessageHook";
const wchar_t kDllName[] = L"mirdu-hook.dll";

enum Outcome : uint32_t {
    kAsked = 0,  // no answer yet
    kChosen,     // the item's command was posted to the window
    kNoMenu,     // the window has no menu bar
    kMissing,    // no such item at level
    kDisabled,   // the item at level is disabled
    kNotAnItem,  // the path ends at a menu (level is one past it), not an item
    kNotAMenu,   // the item at level opens no menu, but the path goes on
};

const uint32_t kPathChars = 2048, kItemsChars = 16384;

struct MenuRequest {
    wchar_t path[kPathChars];   // "File>Save As...", as the step names it
    // The answer, written before outcome.
    uint32_t level;             // of the path, from 0: where it stopped
    uint32_t id;                // kChosen: the item's command id
    wchar_t found[kPathChars];  // the path's items as they read, up to where it stopped
    // The items of the menu at level, one a line: '+' enabled or '-' disabled, '>' for an item
    // that opens a menu or ' ', the command id, a blank, the text (with its & marks and the
    // shortcut after a tab). Separators are left out.
    wchar_t items[kItemsChars];
    volatile uint32_t outcome;  // set last
};

inline std::wstring RequestName(unsigned long engine, unsigned long number)
{
    return L"Local\\mirdu-hook-" + std::to_wstring(engine) + L"-" + std::to_wstring(number);
}

} // namespace hook

#endif
