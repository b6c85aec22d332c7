#include "runner/ending.h"

#include <cstdio>

namespace {

struct Known {
    DWORD code;
    bool crash; // an exception in the program's code, rather than a start that failed
    const wchar_t *what;
};

const Known kKnown[] = {
    {0xC0000005, true, L"access violation"},
    {0xC0000006, true, L"in-page error"},
    {0xC000001D, true, L"illegal instruction"},
    {0xC0000025, true, L"noncontinuable exception"},
    {0xC000008C, true, L"array bounds exceeded"},
    {0xC000008D, true, L"floating-point denormal operand"},
    {0xC000008E, true, L"floating-point division by zero"},
    {0xC000008F, true, L"floating-point inexact result"},
    {0xC0000090, true, L"floating-point invalid operation"},
    {0xC0000091, true, L"floating-point overflow"},
    {0xC0000092, true, L"floating-point stack check"},
    {0xC0000093, true, L"floating-point underflow"},
    {0xC0000094, true, L"integer division by zero"},
    {0xC0000095, true, L"integer overflow"},
    {0xC0000096, true, L"privileged instruction"},
    {0xC00000FD, true, L"stack overflow"},
    {0xC0000374, true, L"heap corruption"},
    {0xC0000409, true, L"stack buffer overrun"},
    {0x80000003, true, L"breakpoint"},
    {0xE06D7363, true, L"unhandled C++ exception"},
    {0xC000007B, false, L"a DLL of the wrong machine type, or a damaged one"},
    {0xC0000135, false, L"a DLL it needs was not found"},
    {0xC0000139, false, L"a DLL lacks a call it needs"},
    {0xC0000142, false, L"a DLL failed to initialise"},
};

std::wstring Hex(DWORD code)
{
    wchar_t text[16];
    swprintf(text, 16, L"0x%08lX", (unsigned long)code);
    return text;
}

} // namespace

Ending ProgramEnding(DWORD code)
{
    if (code == 0xC000013A)
        return {(int)code, L"ended by Ctrl+C (" + Hex(code) + L")", false, true};
    for (const Known &known : kKnown)
        if (known.code == code)
            return {(int)code,
                    (known.crash ? L"crashed: " : L"could not start: ") +
                        std::wstring(known.what) + L" (" + Hex(code) + L")",
                    known.crash, true};
    // Any other code of an error's severity is an exception no table names.
    if ((code & 0xF0000000) == 0xC0000000)
        return {(int)code, L"crashed: unhandled exception (" + Hex(code) + L")", true, true};
    return {(int)code, L"exit status " + std::to_wstring((int)code), false, true};
}
