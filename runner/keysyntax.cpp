#include "runner/keysyntax.h"

#include <windows.h>

#include <cwchar>
#include <cwctype>

namespace {

struct KeyName {
    const wchar_t *name;
    unsigned short key;
};

const KeyName kKeyNames[] = {
    {L"ENTER", VK_RETURN},   {L"RETURN", VK_RETURN}, {L"TAB", VK_TAB},
    {L"ESC", VK_ESCAPE},     {L"ESCAPE", VK_ESCAPE}, {L"SPACE", VK_SPACE},
    {L"BACKSPACE", VK_BACK}, {L"BS", VK_BACK},       {L"BKSP", VK_BACK},
    {L"BACK", VK_BACK},      {L"DELETE", VK_DELETE}, {L"DEL", VK_DELETE},
    {L"INSERT", VK_INSERT},  {L"INS", VK_INSERT},    {L"HOME", VK_HOME},
    {L"END", VK_END},        {L"PGUP", VK_PRIOR},    {L"PAGEUP", VK_PRIOR},
    {L"PRIOR", VK_PRIOR},    {L"PGDN", VK_NEXT},     {L"PAGEDOWN", VK_NEXT},
    {L"NEXT", VK_NEXT},      {L"UP", VK_UP},         {L"DOWN", VK_DOWN},
    {L"LEFT", VK_LEFT},      {L"RIGHT", VK_RIGHT},   {L"APPSKEY", VK_APPS},
    {L"APPS", VK_APPS},      {L"PRINTSCREEN", VK_SNAPSHOT}, {L"PRTSC", VK_SNAPSHOT},
    {L"SNAPSHOT", VK_SNAPSHOT}, {L"PAUSE", VK_PAUSE}, {L"BREAK", VK_CANCEL},
    {L"CANCEL", VK_CANCEL},  {L"CAPSLOCK", VK_CAPITAL}, {L"NUMLOCK", VK_NUMLOCK},
    {L"SCROLLLOCK", VK_SCROLL},
};

// How the trace shows a named key: its first name in the table, as a word.
std::wstring KeyWord(unsigned short key)
{
    if (key >= VK_F1 && key <= VK_F24)
        return L"F" + std::to_wstring(key - VK_F1 + 1);
    for (const KeyName &known : kKeyNames)
        if (known.key == key) {
            std::wstring word = known.name;
            for (size_t i = 1; i < word.size(); i++)
                word[i] = (wchar_t)std::towlower(word[i]);
            return word;
        }
    return L"VK" + std::to_wstring(key);
}

std::wstring Upper(std::wstring text)
{
    for (wchar_t &c : text)
        c = (wchar_t)std::towupper(c);
    return text;
}

// A key's name, with or without VK_ before it: F1 to F24 and the table's names.
bool NamedKey(const std::wstring &given, unsigned short &key)
{
    std::wstring name = Upper(given);
    if (name.compare(0, 3, L"VK_") == 0)
        name.erase(0, 3);
    if (name.size() >= 2 && name.size() <= 3 && name[0] == L'F' && std::iswdigit(name[1]) &&
        (name.size() == 2 || std::iswdigit(name[2]))) {
        int number = std::wcstol(name.c_str() + 1, nullptr, 10);
        if (number >= 1 && number <= 24) {
            key = (unsigned short)(VK_F1 + number - 1);
            return true;
        }
    }
    for (const KeyName &known : kKeyNames)
        if (name == known.name) {
            key = known.key;
            return true;
        }
    return false;
}

// What is between braces: a key by name or one plain character, then a count of at most 100.
std::wstring ParseBraces(const std::wstring &inside, KeyStroke stroke,
                         std::vector<KeyStroke> &keys)
{
    std::wstring name = inside;
    unsigned count = 1;
    size_t blank = inside.find(L' ', 1);
    if (blank != std::wstring::npos) {
        name = inside.substr(0, blank);
        std::wstring number = inside.substr(blank + 1);
        wchar_t *end = nullptr;
        long parsed = std::wcstol(number.c_str(), &end, 10);
        if (number.empty() || *end || parsed < 0 || parsed > 100)
            return L"{" + inside + L"} wants a count from 0 to 100 after the key, not '" +
                   number + L"'";
        count = (unsigned)parsed;
    }
    if (name.size() == 1) {
        stroke.ch = name[0];
    } else if (!NamedKey(name, stroke.key)) {
        return L"no key {" + name + L"}: the keys are a character, F1 to F24, ENTER, TAB, "
               L"ESC, SPACE, BACKSPACE, DELETE, INSERT, HOME, END, PGUP, PGDN, UP, DOWN, "
               L"LEFT, RIGHT, APPSKEY, PRINTSCREEN, PAUSE, BREAK, CAPSLOCK, NUMLOCK and "
               L"SCROLLLOCK";
    }
    keys.insert(keys.end(), count, stroke);
    return L"";
}

bool IsModifier(wchar_t c) { return c == L'^' || c == L'%' || c == L'+'; }

void Hold(wchar_t modifier, KeyStroke &stroke)
{
    if (modifier == L'^')
        stroke.ctrl = true;
    else if (modifier == L'%')
        stroke.alt = true;
    else
        stroke.shift = true;
}

// The modifiers held as the keys are read: for the next key, or for the group that is open.
struct Modifiers {
    KeyStroke held, group;
    bool inGroup = false;

    KeyStroke Next() const { return inGroup ? group : held; }
    // Whether c only changes what is held: a modifier, or the ( and ) of a group.
    bool Take(wchar_t c)
    {
        if (IsModifier(c) && !inGroup) {
            Hold(c, held);
        } else if (c == L'(' && !inGroup && held.chord()) {
            inGroup = true;
            group = held;
            held = KeyStroke();
        } else if (c == L')' && inGroup) {
            inGroup = false;
        } else {
            return false;
        }
        return true;
    }
    // A key was typed: what was held for it alone is let go.
    void Typed()
    {
        if (!inGroup)
            held = KeyStroke();
    }
};

// The key that starts at text[i], with stroke's modifiers, added to keys; i is left at its last
// character. Empty, or why it is no key.
std::wstring ReadKey(const std::wstring &text, size_t &i, bool inGroup, KeyStroke stroke,
                     std::vector<KeyStroke> &keys)
{
    wchar_t c = text[i];
    if (c == L'{') {
        // "{}}" is a brace: the first } after at least one character closes.
        size_t end = text.find(L'}', i + 2);
        if (end == std::wstring::npos)
            return L"a { is not closed: write {{} for a brace";
        std::wstring inside = text.substr(i + 1, end - i - 1);
        i = end;
        return ParseBraces(inside, stroke, keys);
    }
    if (c == L'}' || c == L')' || c == L'(' || (inGroup && IsModifier(c)))
        return std::wstring(L"a ") + c + L" stands alone: write {" + c + L"} for the character";
    if (c == L'\n' || c == L'\t')
        stroke.key = c == L'\n' ? VK_RETURN : VK_TAB; // typed as its key
    else
        stroke.ch = c;
    keys.push_back(stroke);
    return L"";
}

} // namespace

std::wstring ParseKeys(const std::wstring &text, std::vector<KeyStroke> &keys)
{
    keys.clear();
    Modifiers modifiers;
    for (size_t i = 0; i < text.size(); i++) {
        if (text[i] == L'\r' || modifiers.Take(text[i]))
            continue;
        std::wstring why = ReadKey(text, i, modifiers.inGroup, modifiers.Next(), keys);
        if (!why.empty())
            return why;
        modifiers.Typed();
    }
    if (modifiers.inGroup)
        return L"a ( after a modifier is not closed";
    if (modifiers.held.chord())
        return L"the keys end in a modifier (^, % or +) that holds no key: write {^}, {%} or "
               L"{+} for the character";
    if (keys.empty())
        return L"no keys in it";
    return L"";
}

std::wstring ShownKeys(const std::vector<KeyStroke> &keys)
{
    std::wstring shown;
    for (const KeyStroke &stroke : keys) {
        if (!stroke.chord() && stroke.ch) {
            shown += stroke.ch == L'{' ? std::wstring(L"{{}") : std::wstring(1, stroke.ch);
            continue;
        }
        std::wstring chord = L"{";
        if (stroke.ctrl)
            chord += L"Ctrl+";
        if (stroke.alt)
            chord += L"Alt+";
        // A capital letter is typed with Shift.
        if (stroke.shift || (stroke.ch && std::iswupper(stroke.ch)))
            chord += L"Shift+";
        if (stroke.ch)
            chord += (wchar_t)std::towupper(stroke.ch);
        else
            chord += KeyWord(stroke.key);
        shown += chord + L"}";
    }
    return shown;
}

bool MakesCharacter(const KeyStroke &stroke)
{
    if (stroke.ch)
        return true;
    return stroke.key == VK_RETURN || stroke.key == VK_TAB || stroke.key == VK_ESCAPE ||
           stroke.key == VK_BACK || stroke.key == VK_SPACE;
}
