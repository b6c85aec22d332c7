#include "runner/preload.h"

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <cwctype>
#include <iterator>
#include <vector>

#include "runner/paths.h"
#include "shell/handle.h"

namespace {

const uint64_t kAddressSpace = 1ull << 32;
const DWORD kPiece = 1 << 20;
const size_t kLongestRecord = 1 + 2 * (255 + 5); // ':' and 255 bytes of data

std::wstring Hex2(unsigned value)
{
    wchar_t text[4];
    swprintf(text, 4, L"%02X", value & 0xFF);
    return text;
}

bool EndsWith(std::wstring text, const wchar_t *end)
{
    for (wchar_t &c : text)
        c = std::towlower(c);
    size_t n = wcslen(end);
    return text.size() > n && text.compare(text.size() - n, n, end) == 0;
}

int HexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

// "0x" and hexadecimal digits, or decimal digits (ASCII only); at most FFFFFFFF.
bool ParseAddress(const std::wstring &text, uint32_t &addr)
{
    bool hex = text.size() > 2 && text[0] == L'0' && (text[1] == L'x' || text[1] == L'X');
    size_t at = hex ? 2 : 0;
    if (at >= text.size() || text.size() - at > 12)
        return false;
    uint64_t value = 0;
    for (; at < text.size(); at++) {
        wchar_t c = text[at];
        int digit = c < 0x80 ? HexDigit(static_cast<char>(c)) : -1;
        if (!hex && digit > 9)
            digit = -1;
        if (digit < 0)
            return false;
        value = value * (hex ? 16 : 10) + digit;
    }
    addr = static_cast<uint32_t>(value);
    return value < kAddressSpace;
}

} // namespace

bool ParsePreloadSource(const std::wstring &text, PreloadSource &source, std::wstring &why)
{
    source = PreloadSource();
    size_t at = text.find_last_of(L'@');
    if (at != std::wstring::npos && at + 1 < text.size() && text[at + 1] >= L'0' &&
        text[at + 1] <= L'9') {
        source.path = text.substr(0, at);
        if (!ParseAddress(text.substr(at + 1), source.addr))
            return why = L"'" + text.substr(at + 1) + L"' in '" + text + L"' is no address from "
                         L"0 to 0xFFFFFFFF (0x hex or decimal)", false;
        if (source.path.empty())
            return why = L"'" + text + L"' names no file before the @", false;
        return true;
    }
    source.path = text;
    source.hex = EndsWith(text, L".hex") || EndsWith(text, L".ihex");
    if (!source.hex)
        return why = L"'" + text + L"' is neither Intel HEX (FILE.hex, FILE.ihex) nor raw bytes at "
                     L"an address (FILE@ADDR)", false;
    return true;
}

bool HexReader::Feed(const char *data, size_t size, std::wstring &why)
{
    const char *end = data + size;
    while (data < end) {
        const char *newline = static_cast<const char *>(std::memchr(data, '\n', end - data));
        if (!newline) {
            partial_.append(data, end);
            // After the end a line is left out, however long. The blanks at a line's end are
            // not the record's (a piece may end between its CR and its LF), but they are kept
            // only up to a piece's length.
            size_t kept = partial_.find_last_not_of(" \t\r") + 1;
            if ((kept > kLongestRecord || partial_.size() > kPiece) && !ended_)
                return why = L"line " + std::to_wstring(line_ + 1) + L": not a record: longer "
                             L"than any record", false;
            if (ended_)
                partial_.clear();
            return true;
        }
        bool done;
        if (partial_.empty()) {
            done = Line(data, newline - data, why);
        } else {
            partial_.append(data, newline);
            done = Line(partial_.data(), partial_.size(), why);
            partial_.clear();
        }
        if (!done)
            return false;
        data = newline + 1;
    }
    return true;
}

bool HexReader::Finish(std::wstring &why)
{
    if (!partial_.empty() && !Line(partial_.data(), partial_.size(), why))
        return false;
    partial_.clear();
    if (!ended_)
        return why = L"no end-of-file record (:00000001FF): the file may be cut short", false;
    return true;
}

bool HexReader::Line(const char *text, size_t size, std::wstring &why)
{
    line_++;
    while (size > 0 && (text[size - 1] == '\r' || text[size - 1] == ' ' || text[size - 1] == '\t'))
        size--;
    if (ended_ || size == 0)
        return true;
    // Made only for a fault: a large file has millions of lines.
    auto where = [&] { return L"line " + std::to_wstring(line_) + L": "; };
    if (size > kLongestRecord)
        return why = where() + L"not a record: longer than any record", false;
    if (text[0] != ':')
        return why = where() + L"not a record: a record starts with ':'", false;
    unsigned char bytes[kLongestRecord / 2];
    size_t count = 0;
    for (size_t at = 1; at < size; at += 2) {
        int high = HexDigit(text[at]), low = at + 1 < size ? HexDigit(text[at + 1]) : -1;
        if (high < 0 || low < 0)
            return why = where() + L"not a record: a record is pairs of hexadecimal digits "
                                   L"after its ':'", false;
        bytes[count++] = static_cast<unsigned char>(high * 16 + low);
    }
    if (!Record(bytes, count, why))
        return why = where() + why, false;
    return true;
}

namespace {

// A record's length and checksum: its byte count, address and type, its data, its checksum.
bool WellFormed(const unsigned char *bytes, size_t count, std::wstring &why)
{
    if (count < 5 || count != size_t(bytes[0]) + 5)
        return why = L"not a record: its byte count says " + std::to_wstring(count ? bytes[0] : 0) +
                     L" bytes of data, and it holds " +
                     std::to_wstring(count < 5 ? 0 : count - 5), false;
    unsigned sum = 0;
    for (size_t i = 0; i + 1 < count; i++)
        sum += bytes[i];
    const unsigned want = (0x100 - (sum & 0xFF)) & 0xFF;
    if (bytes[count - 1] != want)
        return why = L"checksum " + Hex2(bytes[count - 1]) + L", but the record's bytes want " +
                     Hex2(want), false;
    return true;
}

} // namespace

bool HexReader::Record(const unsigned char *bytes, size_t count, std::wstring &why)
{
    if (!WellFormed(bytes, count, why))
        return false;
    const unsigned size = bytes[0], type = bytes[3];
    const uint64_t offset = (bytes[1] << 8) | bytes[2];
    const unsigned char *data = bytes + 4;
    switch (type) {
    case 0x00: {
        const uint64_t addr = base_ + offset;
        if (addr + size > kAddressSpace)
            return why = L"data at " + Hex8(addr) + L" runs past FFFFFFFF, the end of the 4 GiB "
                         L"address space", false;
        if (size)
            sink_(static_cast<uint32_t>(addr), data, size);
        return true;
    }
    case 0x01:
        ended_ = true;
        return true;
    case 0x02:
    case 0x04:
        if (size != 2)
            return why = L"an extended address record holds 2 bytes, not " +
                         std::to_wstring(size), false;
        base_ = uint64_t((data[0] << 8) | data[1]) << (type == 0x02 ? 4 : 16);
        return true;
    case 0x03:
    case 0x05:
        return true;
    default:
        return why = L"record type " + Hex2(type) + L" is none of Intel HEX's (00 to 05)", false;
    }
}

Failure ReadPreload(const PreloadSource &source, const PreloadSink &sink)
{
    const std::wstring named = L"--preload " + ShownPath(source.path) + L": ";
    UniqueHandle file(CreateFileW(FullPath(source.path).c_str(), GENERIC_READ,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING, 0, NULL));
    LARGE_INTEGER size = {};
    if (!file.valid() || !GetFileSizeEx(file.get(), &size))
        return Fail(kExitRunner, named + L"cannot read it: " + SystemMessage(GetLastError()));
    if (!source.hex && source.addr + uint64_t(size.QuadPart) > kAddressSpace)
        return Fail(kExitRunner, named + L"its " + std::to_wstring(size.QuadPart) +
                                     L" bytes at " + Hex8(source.addr) +
                                     L" run past FFFFFFFF, the end of the 4 GiB address space");
    std::vector<unsigned char> piece(kPiece);
    HexReader hex(sink);
    uint64_t at = source.addr;
    std::wstring why;
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(file.get(), piece.data(), kPiece, &got, NULL))
            return Fail(kExitRunner, named + L"cannot read it: " + SystemMessage(GetLastError()));
        if (got == 0)
            break;
        if (source.hex && !hex.Feed(reinterpret_cast<const char *>(piece.data()), got, why))
            return Fail(kExitRunner, named + why);
        if (!source.hex)
            sink(static_cast<uint32_t>(at), piece.data(), got);
        at += got;
    }
    if (source.hex && !hex.Finish(why))
        return Fail(kExitRunner, named + why);
    return {};
}

void AddressRanges::Add(uint64_t start, uint64_t end)
{
    if (start >= end)
        return;
    // Joins the ranges that it touches or overlaps.
    auto next = ranges_.upper_bound(start);
    if (next != ranges_.begin() && std::prev(next)->second >= start) {
        --next;
        start = next->first;
    }
    while (next != ranges_.end() && next->first <= end) {
        end = next->second > end ? next->second : end;
        next = ranges_.erase(next);
    }
    ranges_[start] = end;
}

void AddressRanges::Add(const AddressRanges &other)
{
    for (const auto &range : other.ranges_)
        Add(range.first, range.second);
}

AddressRanges::Overlap AddressRanges::Within(const AddressRanges &other) const
{
    Overlap overlap;
    for (const auto &range : other.ranges_) {
        auto mine = ranges_.upper_bound(range.first);
        if (mine != ranges_.begin())
            --mine;
        for (; mine != ranges_.end() && mine->first < range.second; ++mine) {
            uint64_t start = mine->first > range.first ? mine->first : range.first;
            uint64_t end = mine->second < range.second ? mine->second : range.second;
            if (start >= end)
                continue;
            if (overlap.places++ == 0) {
                overlap.firstStart = start;
                overlap.firstEnd = end;
            }
            overlap.bytes += end - start;
        }
    }
    return overlap;
}
