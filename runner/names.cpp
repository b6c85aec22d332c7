#include "runner/names.h"

#include <windows.h>

#include <cwchar>

namespace {

std::wstring Lower(std::wstring text)
{
    if (!text.empty())
        CharLowerBuffW(&text[0], (DWORD)text.size());
    return text;
}

} // namespace

bool ParseControlId(const std::wstring &name, int &id)
{
    if (name.size() < 2 || name[0] != L'#')
        return false;
    wchar_t *end = nullptr;
    id = (int)std::wcstol(name.c_str() + 1, &end, 0);
    return *end == 0;
}

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

bool SameText(const std::wstring &a, const std::wstring &b) { return Lower(a) == Lower(b); }

bool HasText(const std::wstring &text, const std::wstring &part)
{
    return Lower(text).find(Lower(part)) != std::wstring::npos;
}

std::wstring MenuItemShown(const std::wstring &itemText)
{
    std::wstring shown = WithoutMnemonics(itemText.substr(0, itemText.find(L'\t')));
    while (!shown.empty() && shown.back() == L' ')
        shown.pop_back();
    return shown;
}

bool NamesMenuItem(const std::wstring &itemText, const std::wstring &name)
{
    std::wstring shown = MenuItemShown(itemText);
    if (SameText(shown, name))
        return true;
    for (const wchar_t *dots : {L"...", L"\u2026"}) {
        size_t size = std::wcslen(dots);
        if (shown.size() > size && shown.compare(shown.size() - size, size, dots) == 0 &&
            SameText(shown.substr(0, shown.size() - size), name))
            return true;
    }
    return false;
}

std::vector<std::wstring> PathLevels(const std::wstring &path)
{
    std::vector<std::wstring> levels;
    for (size_t start = 0;;) {
        size_t end = path.find(L'>', start);
        levels.push_back(path.substr(start, end == std::wstring::npos ? end : end - start));
        if (end == std::wstring::npos)
            return levels;
        start = end + 1;
    }
}
