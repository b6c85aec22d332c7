// The engine loads user32, gdi32 and ole32 at their first call. Linked as the engine is: each
// library is absent until a call into it, then loaded, and the call reaches the real function.
#include <gtest/gtest.h>

#include <windows.h>

#include <objbase.h>

#include <cstdio>

namespace {

// A call that goes astray must fail the test, not open Wine's crash dialog and wait.
LONG WINAPI EndOnCrash(EXCEPTION_POINTERS *crash)
{
    fprintf(stderr, "crashed: exception 0x%08lX at %p\n",
            crash->ExceptionRecord->ExceptionCode, crash->ExceptionRecord->ExceptionAddress);
    fflush(stderr);
    TerminateProcess(GetCurrentProcess(), 3);
    return EXCEPTION_EXECUTE_HANDLER;
}
const LPTOP_LEVEL_EXCEPTION_FILTER kPrevious = SetUnhandledExceptionFilter(EndOnCrash);

TEST(LateLoading, EachLibraryLoadsAtItsFirstCallAndAnswers)
{
    EXPECT_EQ(GetModuleHandleW(L"user32.dll"), nullptr);
    HWND desktop = GetDesktopWindow();
    EXPECT_NE(desktop, nullptr);
    EXPECT_TRUE(IsWindow(desktop));
    EXPECT_NE(GetModuleHandleW(L"user32.dll"), nullptr);

    EXPECT_NE(GetStockObject(WHITE_BRUSH), nullptr);
    EXPECT_NE(GetModuleHandleW(L"gdi32.dll"), nullptr);

    EXPECT_EQ(GetModuleHandleW(L"ole32.dll"), nullptr);
    void *memory = CoTaskMemAlloc(16);
    EXPECT_NE(memory, nullptr);
    CoTaskMemFree(memory);
    EXPECT_NE(GetModuleHandleW(L"ole32.dll"), nullptr);
}

} // namespace
