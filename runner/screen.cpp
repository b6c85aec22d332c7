#include "runner/screen.h"

#include <algorithm>
#include <cstdio>

namespace {

const SHORT kMarkerLength = 20;

Failure ConsoleFailure(const wchar_t *what)
{
    return Fail(kExitRunner, std::wstring(L"the console: ") + what + L" failed: " +
                                 SystemMessage(GetLastError()));
}

} // namespace

HANDLE OpenConsole(const wchar_t *name, bool inheritable)
{
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, NULL, TRUE};
    return CreateFileW(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                       inheritable ? &inherit : NULL, OPEN_EXISTING, 0, NULL);
}

Failure ConsoleScreen::Open(SHORT columns, SHORT rows)
{
    out_.reset(OpenConsole(L"CONOUT$"));
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (!out_.valid() || !GetConsoleScreenBufferInfo(out_.get(), &info))
        return ConsoleFailure(L"opening the screen buffer");
    savedSize_ = info.dwSize;
    COORD size = {std::max(info.dwSize.X, columns), std::max(info.dwSize.Y, rows)};
    // A console that keeps its buffer at the window's size refuses: the reading then works
    // in what there is, and reports lines lost should the output outrun it.
    if ((size.X != info.dwSize.X || size.Y != info.dwSize.Y) &&
        !SetConsoleScreenBufferSize(out_.get(), size))
        size = info.dwSize;
    if (size.X < 2 * kMarkerLength || size.Y < 2)
        return Fail(kExitRunner, L"the console's screen buffer is too small to read from");
    restored_ = false;
    width_ = size.X;
    height_ = size.Y;
    return {};
}

Failure ConsoleScreen::Begin()
{
    // The run's first line starts a row of its own, below a row that can carry a marker.
    CONSOLE_SCREEN_BUFFER_INFO info;
    DWORD written;
    if (!GetConsoleScreenBufferInfo(out_.get(), &info))
        return ConsoleFailure(L"reading the cursor");
    if (info.dwCursorPosition.X > 0 || info.dwCursorPosition.Y == 0)
        WriteConsoleA(out_.get(), "\r\n", 2, &written, NULL);
    if (!GetConsoleScreenBufferInfo(out_.get(), &info) || info.dwCursorPosition.Y == 0)
        return ConsoleFailure(L"reading the cursor");
    serial_ = 1;
    markerRow_ = info.dwCursorPosition.Y - 1;
    return Mark(markerRow_, serial_);
}

Failure ConsoleScreen::BeginAtTop()
{
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (!GetConsoleScreenBufferInfo(out_.get(), &info))
        return ConsoleFailure(L"reading the cursor");
    serial_ = 0;
    markerRow_ = -1;
    if (info.dwCursorPosition.Y >= height_ - 1)
        return Fail(kExitRunner, L"the program's console was full before mirdu-run could "
                                 L"read it: lines were lost from the log");
    return {};
}

std::string ConsoleScreen::Marker(unsigned serial) const
{
    char text[kMarkerLength + 1];
    snprintf(text, sizeof text, "{mirdu-run %08X}", serial);
    return text;
}

Failure ConsoleScreen::Mark(SHORT row, unsigned serial)
{
    std::string text = Marker(serial);
    DWORD written = 0;
    if (!WriteConsoleOutputCharacterA(out_.get(), text.data(), kMarkerLength,
                                      COORD{(SHORT)(width_ - kMarkerLength), row}, &written) ||
        written != kMarkerLength)
        return ConsoleFailure(L"marking a row");
    markedRows_.push_back(row);
    return {};
}

bool ConsoleScreen::MarkerAt(SHORT row, unsigned serial)
{
    char text[kMarkerLength];
    DWORD read = 0;
    return ReadConsoleOutputCharacterA(out_.get(), text, kMarkerLength,
                                       COORD{(SHORT)(width_ - kMarkerLength), row}, &read) &&
           read == kMarkerLength && Marker(serial).compare(0, kMarkerLength, text, read) == 0;
}

Failure ConsoleScreen::ReadRows(SHORT first, SHORT count, std::string &text)
{
    text.resize((size_t)count * width_);
    DWORD read = 0;
    if (!ReadConsoleOutputCharacterA(out_.get(), &text[0], (DWORD)text.size(), COORD{0, first},
                                     &read))
        return ConsoleFailure(L"reading the screen buffer");
    text.resize(read);
    return {};
}

// A row without the spaces that fill it up to the buffer's width, and without its marker.
std::string ConsoleScreen::RowText(const std::string &block, SHORT row, bool marked) const
{
    size_t begin = (size_t)row * width_, end = begin + width_ - (marked ? kMarkerLength : 0);
    while (end > begin && block[end - 1] == ' ')
        end--;
    return block.substr(begin, end - begin);
}

Failure ConsoleScreen::Read(std::vector<std::string> &lines)
{
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (!GetConsoleScreenBufferInfo(out_.get(), &info))
        return ConsoleFailure(L"reading the cursor");
    // The rows above the cursor are complete lines; the cursor's row may still grow.
    SHORT last = info.dwCursorPosition.Y - 1;
    if (last < 0 || (last == markerRow_ && MarkerAt(markerRow_, serial_)))
        return {};
    unsigned next = serial_ + 1;
    if (Failure failure = Mark(last, next))
        return failure;
    std::string oldMarker = Marker(serial_), newMarker = Marker(next), block;
    bool fromTop = markerRow_ < 0; // no marker yet: the first row of the block is new
    SHORT first = fromTop ? 0 : std::max(0, markerRow_ - lookBack_);
    for (;;) {
        if (Failure failure = ReadRows(first, last - first + 1, block))
            return failure;
        SHORT rows = (SHORT)(block.size() / width_), from = fromTop ? -1 : -2, to = -1;
        for (SHORT row = 0; row < rows && to < 0; row++) {
            const char *marker = block.data() + (size_t)row * width_ + width_ - kMarkerLength;
            if (!fromTop && oldMarker.compare(0, kMarkerLength, marker, kMarkerLength) == 0)
                from = row;
            else if (from >= -1 && newMarker.compare(0, kMarkerLength, marker, kMarkerLength) == 0)
                to = row;
        }
        // Read from the top, any scroll before the marker was found took rows away unread.
        if (to >= 0 && fromTop && to != last)
            return Fail(kExitRunner, L"the program's console scrolled before mirdu-run could "
                                     L"read it: lines were lost from the log");
        if (to >= 0) {
            for (SHORT row = from + 1; row <= to; row++)
                lines.push_back(RowText(block, row, row == to));
            SHORT scrolled = markerRow_ - (first + from);
            for (SHORT &marked : markedRows_)
                marked -= scrolled;
            markedRows_.back() = first + to;
            markedRows_.erase(std::remove_if(markedRows_.begin(), markedRows_.end(),
                                             [](SHORT row) { return row < 0; }),
                              markedRows_.end());
            lookBack_ = std::min<int>(height_, 2 * scrolled + 16);
            markerRow_ = first + to;
            serial_ = next;
            if (scrolled > height_ / 2)
                Grow();
            return {};
        }
        if (first == 0)
            return Resume(block, newMarker, next, lines);
        first = std::max(0, first - std::max(64, 2 * (last - first + 1)));
    }
}

// The output came close to outrunning the reading (a busy machine): more rows give the reading
// room, and slow the output, since Wine moves the whole buffer for every line once it is full.
void ConsoleScreen::Grow()
{
    SHORT rows = (SHORT)std::min<int>(kMostRows, 2 * height_);
    if (rows > height_ && SetConsoleScreenBufferSize(out_.get(), COORD{width_, rows}))
        height_ = rows;
}

// The last marker scrolled out: every row still there is unread, and the new marker, written
// before the rows were read, holds the place from here on. Only the rows that went are lost.
Failure ConsoleScreen::Resume(const std::string &block, const std::string &newMarker,
                              unsigned next, std::vector<std::string> &lines)
{
    SHORT rows = (SHORT)(block.size() / width_), to = -1;
    for (SHORT row = 0; row < rows && to < 0; row++)
        if (newMarker.compare(0, kMarkerLength, block.data() + (size_t)row * width_ + width_ -
                                                    kMarkerLength, kMarkerLength) == 0)
            to = row;
    if (to >= 0) {
        for (SHORT row = 0; row <= to; row++)
            lines.push_back(RowText(block, row, row == to));
        markedRows_.assign(1, to);
        markerRow_ = to;
        serial_ = next;
        lookBack_ = height_;
        Grow();
    }
    return Fail(kExitRunner, L"the program wrote more lines between two reads than the console "
                             L"buffer holds (" + std::to_wstring(height_) +
                                 L" rows): lines were lost from the log");
}

Failure ConsoleScreen::Finish(std::vector<std::string> &lines, bool &lastHasLineEnd)
{
    lastHasLineEnd = true;
    if (Failure failure = Read(lines))
        return failure;
    CONSOLE_SCREEN_BUFFER_INFO info;
    std::string row;
    if (!GetConsoleScreenBufferInfo(out_.get(), &info))
        return ConsoleFailure(L"reading the cursor");
    if (info.dwCursorPosition.X > 0) {
        if (Failure failure = ReadRows(info.dwCursorPosition.Y, 1, row))
            return failure;
        row.resize(std::min<size_t>(row.size(), info.dwCursorPosition.X));
        lines.push_back(RowText(row + std::string(width_ - row.size(), ' '), 0, false));
        lastHasLineEnd = false;
    }
    return {};
}

void ConsoleScreen::Restore()
{
    if (restored_ || !out_.valid())
        return;
    restored_ = true;
    DWORD written;
    for (SHORT row : markedRows_)
        FillConsoleOutputCharacterA(out_.get(), ' ', kMarkerLength,
                                    COORD{(SHORT)(width_ - kMarkerLength), row}, &written);
    if (savedSize_.X < width_)
        SetConsoleScreenBufferSize(out_.get(), COORD{savedSize_.X, height_});
}

void TypeKey(HANDLE input, char typed)
{
    INPUT_RECORD keys[2] = {};
    bool enter = typed == '\r' || typed == '\n';
    SHORT scan = VkKeyScanA(typed);
    WORD virtualKey = enter ? VK_RETURN : LOBYTE(scan);
    DWORD modifiers = HIBYTE(scan) == 0xFF ? 0
                                           : ((HIBYTE(scan) & 1) ? SHIFT_PRESSED : 0) |
                                                 ((HIBYTE(scan) & 2) ? LEFT_CTRL_PRESSED : 0) |
                                                 ((HIBYTE(scan) & 4) ? LEFT_ALT_PRESSED : 0);
    for (int i = 0; i < 2; i++) {
        KEY_EVENT_RECORD &key = keys[i].Event.KeyEvent;
        keys[i].EventType = KEY_EVENT;
        key.bKeyDown = i == 0;
        key.wRepeatCount = 1;
        key.wVirtualKeyCode = virtualKey;
        key.wVirtualScanCode = enter ? 0x1C : (WORD)MapVirtualKeyA(virtualKey, MAPVK_VK_TO_VSC);
        key.uChar.AsciiChar = enter ? '\r' : typed;
        key.dwControlKeyState = enter ? 0 : modifiers;
    }
    DWORD written;
    WriteConsoleInputA(input, keys, 2, &written);
}
