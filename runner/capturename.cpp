#include "runner/capturename.h"

#include <cstdio>

namespace {

const char *Tag(WriteCall call) { return call == WriteCall::kWrite ? "kvtwrite" : "kvtsyncwrite"; }

std::wstring Wide(const std::string &ascii) { return std::wstring(ascii.begin(), ascii.end()); }

bool IsDigit(wchar_t c) { return c >= L'0' && c <= L'9'; }

// An optional minus and up to ten digits, within the range of the signed counter.
bool ParseNumber(const std::wstring &text, int32_t &number)
{
    const size_t first = !text.empty() && text[0] == L'-' ? 1 : 0;
    if (text.size() == first || text.size() - first > 10)
        return false;
    long long magnitude = 0;
    for (size_t i = first; i < text.size(); i++) {
        if (!IsDigit(text[i]))
            return false;
        magnitude = magnitude * 10 + (text[i] - L'0');
    }
    const long long value = first ? -magnitude : magnitude;
    if (value < INT32_MIN || value > INT32_MAX)
        return false;
    number = (int32_t)value;
    return true;
}

// Eight upper-case hexadecimal digits at the start of text.
bool ParseAddress(const std::wstring &text, uint32_t &address)
{
    if (text.size() < 8)
        return false;
    address = 0;
    for (size_t i = 0; i < 8; i++) {
        const wchar_t c = text[i];
        if (!IsDigit(c) && !(c >= L'A' && c <= L'F'))
            return false;
        address = address << 4 | (uint32_t)(IsDigit(c) ? c - L'0' : c - L'A' + 10);
    }
    return true;
}

} // namespace

std::string FormatCaptureName(const CaptureName &name)
{
    char text[48];
    snprintf(text, sizeof text, "%04d-%s-%08X.bin", (int)name.number, Tag(name.call),
             (unsigned)name.address);
    return text;
}

bool ParseCaptureName(const std::wstring &text, CaptureName &name)
{
    for (WriteCall call : {WriteCall::kWrite, WriteCall::kSyncWrite}) {
        // After the first character, which may be the number's minus sign.
        const std::wstring tag = Wide(std::string("-") + Tag(call) + "-");
        const size_t at = text.find(tag, 1);
        CaptureName parsed{0, call, 0};
        // Whatever else the number and the address were spelt with (padding, case, what
        // follows) shows as a name that differs from the library's own.
        if (at != std::wstring::npos && ParseNumber(text.substr(0, at), parsed.number) &&
            ParseAddress(text.substr(at + tag.size()), parsed.address) &&
            Wide(FormatCaptureName(parsed)) == text) {
            name = parsed;
            return true;
        }
    }
    return false;
}
