// The keys of a keys step as written, in the syntax that AutoIt's Send and pywinauto's
// type_keys share: characters stand for themselves; ^ Ctrl, % Alt and + Shift hold down for
// the next key or the group in parentheses after them (^s, %f, +(abc)); {NAME} is a key by its
// name ({ENTER}, {F5}, {VK_F5}), {NAME N} that key N times, and braces make any one character
// plain ({{}, {}}, {+}, {^}, {%}, {(}).
#ifndef MIRDU_RUNNER_KEYSYNTAX_H
#define MIRDU_RUNNER_KEYSYNTAX_H

#include <string>
#include <vector>

// One key typed: a character, or a key by its virtual-key code, with the modifiers held.
struct KeyStroke {
    wchar_t ch = 0;     // the character; 0 for a named key
    unsigned short key = 0; // a named key's virtual-key code
    bool shift = false, ctrl = false, alt = false;

    bool chord() const { return shift || ctrl || alt; }
    bool operator==(const KeyStroke &other) const
    {
        return ch == other.ch && key == other.key && shift == other.shift &&
               ctrl == other.ctrl && alt == other.alt;
    }
};

// Empty when text is keys (then in keys), else why not.
std::wstring ParseKeys(const std::wstring &text, std::vector<KeyStroke> &keys);
// The keys as the trace and the log show them: characters as they are, named keys and chords
// in braces: "line one{Enter}{Ctrl+S}".
std::wstring ShownKeys(const std::vector<KeyStroke> &keys);
// Whether the program's TranslateMessage turns the key into a character of its own (Enter,
// Tab, Escape, Backspace, Space, and every chord of a character).
bool MakesCharacter(const KeyStroke &stroke);

#endif
