#include "runner/console.h"

#include <algorithm>

HANDLE OpenConsole(const wchar_t *name)
{
    return CreateFileW(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                       NULL, OPEN_EXISTING, 0, NULL);
}

namespace {

const DWORD kStandard[] = {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE};
// The handles that attaching made for the standard ones: freeing the console closes them, so
// they are put back in place just for that.
HANDLE g_made[3] = {};

} // namespace

bool JoinConsole(DWORD pid)
{
    HANDLE saved[3];
    for (int i = 0; i < 3; i++)
        saved[i] = GetStdHandle(kStandard[i]);
    LeaveConsole();
    bool joined = AttachConsole(pid);
    DWORD error = GetLastError();
    for (int i = 0; i < 3; i++) {
        HANDLE now = GetStdHandle(kStandard[i]);
        g_made[i] = joined && now != saved[i] ? now : NULL;
        SetStdHandle(kStandard[i], saved[i]);
    }
    SetLastError(error);
    return joined;
}

void LeaveConsole()
{
    HANDLE saved[3];
    for (int i = 0; i < 3; i++) {
        saved[i] = GetStdHandle(kStandard[i]);
        if (g_made[i])
            SetStdHandle(kStandard[i], g_made[i]);
        g_made[i] = NULL;
    }
    FreeConsole();
    for (int i = 0; i < 3; i++)
        SetStdHandle(kStandard[i], saved[i]);
}

bool ConsoleBuffer::Open(bool &wasFull)
{
    output_.reset(OpenConsole(L"CONOUT$"));
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (!output_.valid() || !GetConsoleScreenBufferInfo(output_.get(), &info))
        return false;
    wasFull = info.dwCursorPosition.Y >= info.dwSize.Y - 1;
    COORD size = {std::max<SHORT>(info.dwSize.X, kConsoleColumns),
                  std::max<SHORT>(info.dwSize.Y, kConsoleRows)};
    // A console that keeps its buffer at the window's size refuses: the reading then works in
    // what there is, and reports lines lost should the output outrun it.
    if (size.X != info.dwSize.X || size.Y != info.dwSize.Y)
        SetConsoleScreenBufferSize(output_.get(), size);
    return true;
}

bool ConsoleBuffer::GetShape(Shape &shape)
{
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (!GetConsoleScreenBufferInfo(output_.get(), &info))
        return false;
    shape = {info.dwSize.X, info.dwSize.Y, info.dwCursorPosition.X, info.dwCursorPosition.Y};
    return true;
}

bool ConsoleBuffer::ReadRows(int first, int count, std::string &text)
{
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (!GetConsoleScreenBufferInfo(output_.get(), &info))
        return false;
    text.resize((size_t)count * info.dwSize.X);
    DWORD read = 0;
    if (!text.empty() && !ReadConsoleOutputCharacterA(output_.get(), &text[0], (DWORD)text.size(),
                                                      COORD{0, (SHORT)first}, &read))
        return false;
    text.resize(read);
    return true;
}

bool ConsoleBuffer::WriteText(int row, int column, const std::string &text)
{
    DWORD written = 0;
    return WriteConsoleOutputCharacterA(output_.get(), text.data(), (DWORD)text.size(),
                                        COORD{(SHORT)column, (SHORT)row}, &written) &&
           written == text.size();
}

bool ConsoleBuffer::SetSize(int width, int height)
{
    return SetConsoleScreenBufferSize(output_.get(), COORD{(SHORT)width, (SHORT)height});
}

void TypeKey(HANDLE input, char typed)
{
    INPUT_RECORD keys[2] = {};
    bool enter = typed == '\r' || typed == '\n';
    WORD virtualKey = VK_RETURN, scanCode = 0x1C;
    DWORD modifiers = 0;
    if (!enter) {
        SHORT scan = VkKeyScanA(typed);
        virtualKey = LOBYTE(scan);
        scanCode = (WORD)MapVirtualKeyA(virtualKey, MAPVK_VK_TO_VSC);
        if (HIBYTE(scan) != 0xFF)
            modifiers = ((HIBYTE(scan) & 1) ? SHIFT_PRESSED : 0) |
                        ((HIBYTE(scan) & 2) ? LEFT_CTRL_PRESSED : 0) |
                        ((HIBYTE(scan) & 4) ? LEFT_ALT_PRESSED : 0);
    }
    for (int i = 0; i < 2; i++) {
        KEY_EVENT_RECORD &key = keys[i].Event.KeyEvent;
        keys[i].EventType = KEY_EVENT;
        key.bKeyDown = i == 0;
        key.wRepeatCount = 1;
        key.wVirtualKeyCode = virtualKey;
        key.wVirtualScanCode = scanCode;
        key.uChar.AsciiChar = enter ? '\r' : typed;
        key.dwControlKeyState = modifiers;
    }
    DWORD written;
    WriteConsoleInputA(input, keys, 2, &written);
}
