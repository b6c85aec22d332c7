// Naming of capture files: the sequence number and the path formatted from it. The files
// themselves are written and checked by the end-to-end tests.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>

#include "capture/capture.h"

namespace {

TEST(SequenceNumber, IsTakenThenAdvancedWrappingToTheMostNegative)
{
    struct Case {
        int32_t counter, taken, after;
    };
    const Case cases[] = {
        {0, 0, 1},
        {9999, 9999, 10000},
        {-1, -1, 0},
        {INT_MAX, INT_MAX, INT_MIN},
        {INT_MIN, INT_MIN, -2147483647},
    };
    for (const Case &c : cases) {
        int32_t counter = c.counter;
        EXPECT_EQ(TakeSequenceNumber(&counter), c.taken) << "counter at " << c.counter;
        EXPECT_EQ(counter, c.after) << "counter at " << c.counter;
    }

    int32_t counter = 2147483646;
    const int32_t want[] = {2147483646, 2147483647, -2147483647 - 1, -2147483647, -2147483646};
    for (int32_t number : want)
        EXPECT_EQ(TakeSequenceNumber(&counter), number);
}

TEST(CapturePath, NumberTagAndAddress)
{
    struct Case {
        const char *tag;
        int32_t number;
        uint32_t addr;
        const char *path;
    };
    const Case cases[] = {
        {"kvtwrite", 0, 0x1000, "f:\\0000-kvtwrite-00001000.bin"},
        {"kvtsyncwrite", 1, 0, "f:\\0001-kvtsyncwrite-00000000.bin"},
        {"kvtwrite", 7, 0xABCDEF, "f:\\0007-kvtwrite-00ABCDEF.bin"},
        {"kvtwrite", 42, 0x80000000, "f:\\0042-kvtwrite-80000000.bin"},
        {"kvtwrite", 999, 1, "f:\\0999-kvtwrite-00000001.bin"},
        {"kvtwrite", 9999, 0xFFFFFFFF, "f:\\9999-kvtwrite-FFFFFFFF.bin"},
        {"kvtwrite", 10000, 0, "f:\\10000-kvtwrite-00000000.bin"},
        {"kvtsyncwrite", INT_MAX, 0xDEADBEEF, "f:\\2147483647-kvtsyncwrite-DEADBEEF.bin"},
        // After the wrap: the sign counts towards the four digits.
        {"kvtwrite", -1, 0, "f:\\-001-kvtwrite-00000000.bin"},
        {"kvtwrite", -12, 0, "f:\\-012-kvtwrite-00000000.bin"},
        {"kvtwrite", -123, 0, "f:\\-123-kvtwrite-00000000.bin"},
        {"kvtwrite", -1234, 0, "f:\\-1234-kvtwrite-00000000.bin"},
        {"kvtsyncwrite", INT_MIN, 0xFFFFFFFF, "f:\\-2147483648-kvtsyncwrite-FFFFFFFF.bin"},
    };
    for (const Case &c : cases) {
        // Formatted into a buffer of the library's path size, with guard bytes behind it.
        struct {
            char path[kCapturePathSize];
            char guard[16];
        } buffer;
        std::memset(&buffer, '#', sizeof buffer);
        const int length = FormatCapturePath(buffer.path, c.tag, c.number, c.addr);
        EXPECT_EQ(std::string(buffer.path), c.path);
        EXPECT_EQ(length, int(std::strlen(c.path))) << c.path;
        EXPECT_EQ(std::string(buffer.guard, sizeof buffer.guard), std::string(16, '#')) << c.path;
    }
}

TEST(CapturePath, TheLongestFitsThePathBuffer)
{
    char path[kCapturePathSize + 16];
    const int length = FormatCapturePath(path, "kvtsyncwrite", INT_MIN, 0xFFFFFFFF);
    EXPECT_EQ(length, 40);
    EXPECT_LT(length, int(kCapturePathSize)) << "no room for the terminating zero";
}

} // namespace
