// The engine's rule for capture names against the library's own: what the engine formats (for
// the trace) is what the library names its files, and the engine reads back exactly those
// names and no others.
#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "capture/capture.h"
#include "runner/capturename.h"
#include "shell/log.h"

// The library's console writer, which capture.cpp links against; no capture is written here.
BOOL PrintLine(const char *) { return TRUE; }

namespace {

std::wstring Wide(const std::string &ascii) { return std::wstring(ascii.begin(), ascii.end()); }

TEST(CaptureName, IsTheLibrarysNameAndReadsBack)
{
    const int32_t numbers[] = {0, 1, 999, 9999, 10000, INT_MAX, INT_MIN, -1, -12, -1234};
    const uint32_t addresses[] = {0, 0x1000, 0xABCDEF, 0x80000000, 0xFFFFFFFF};
    const struct {
        WriteCall call;
        const char *tag;
    } calls[] = {{WriteCall::kWrite, "kvtwrite"}, {WriteCall::kSyncWrite, "kvtsyncwrite"}};
    for (int32_t number : numbers)
        for (uint32_t address : addresses)
            for (const auto &call : calls) {
                char path[kCapturePathSize];
                FormatCapturePath(path, call.tag, number, address);
                const std::string name = FormatCaptureName({number, call.call, address});
                ASSERT_EQ("f:\\" + name, path);
                CaptureName parsed{};
                ASSERT_TRUE(ParseCaptureName(Wide(name), parsed)) << name;
                EXPECT_EQ(parsed.number, number) << name;
                EXPECT_EQ(parsed.call, call.call) << name;
                EXPECT_EQ(parsed.address, address) << name;
            }
}

TEST(CaptureName, RefusesEveryOtherName)
{
    const wchar_t *names[] = {
        L"",
        L"0000-kvtwrite-00001000",          // no extension
        L"0000-kvtwrite-00001000.bin.tmp",  // something after it
        L"0000-kvtwrite-00001000.BIN",      // another case
        L"0000-KVTWRITE-00001000.bin",
        L"0000-kvtwrite-0000abcd.bin",
        L"0000-kvtread-00001000.bin",       // another tag
        L"0000-kvtwrite-0001000.bin",       // seven digits, nine
        L"0000-kvtwrite-000001000.bin",
        L"0000-kvtwrite-0000100G.bin",
        L"000-kvtwrite-00001000.bin",       // less than four places
        L"-01-kvtwrite-00001000.bin",
        L"00001-kvtwrite-00001000.bin",     // more than the library pads
        L"-0001-kvtwrite-00001000.bin",
        L"-000-kvtwrite-00001000.bin",      // zero has no sign
        L"+001-kvtwrite-00001000.bin",
        L" 001-kvtwrite-00001000.bin",
        L"2147483648-kvtwrite-00001000.bin", // past the counter's range
        L"-2147483649-kvtwrite-00001000.bin",
        L"99999999999-kvtwrite-00001000.bin",
        L"\uFF10\uFF10\uFF10\uFF10-kvtwrite-00001000.bin", // digits, but not ASCII ones
        L"0000-kvtwrite-kvtwrite-00001000.bin",
        L"0000-kvtsyncwrite-kvtwrite-00001000.bin",
        L"-kvtwrite-00001000.bin",
        L"0000kvtwrite-00001000.bin",
    };
    for (const wchar_t *name : names) {
        CaptureName parsed{7, WriteCall::kWrite, 7};
        EXPECT_FALSE(ParseCaptureName(name, parsed)) << name;
    }
}

} // namespace
