// The line and the result of every exported call, and what the calls do to the caller's
// memory. The id counter is process-wide: these tests learn where it stands before relying
// on it, so they hold in any order.
#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <functional>

#include "exports/mirdu.h"
#include "tests/unit/call_line.h"
#include "tests/unit/recorder.h"

namespace {

using Lines = std::vector<std::string>;

// A pointer that the read calls may print but must never touch: its low 32 bits are 89ABCDEF.
void *const kFarPointer = reinterpret_cast<void *>(uintptr_t(0x0000000189ABCDEFull));
unsigned char g_data[4] = {1, 2, 3, 4};

struct Call {
    const char *what;
    std::function<uint32_t()> call;
    std::string line;
    uint32_t result;              // the 32-bit value returned
    bool returnsPrintLine = false; // returns what PrintLine returned instead of result
};

const Call kCalls[] = {
    {"KVTOpen(0, 0)", [] { return KVTOpen(0, 0); }, Line("KVTOpen", 0, 0), 0xDEADBEEF},
    {"KVTOpen with negative host and id", [] { return KVTOpen(-1, INT_MIN); },
     Line("KVTOpen", -1, INT_MIN), 0xDEADBEEF},
    {"KVTOpen(-559038737, INT_MAX)", [] { return KVTOpen(-559038737, INT_MAX); },
     Line("KVTOpen", -559038737, INT_MAX), 0xDEADBEEF},
    {"KVTClose", [] { return KVTClose(); }, Line("KVTClose"), 0, true},
    {"KVTFindClose", [] { return KVTFindClose(); }, Line("KVTFindClose"), 0, true},

    {"KVTRead, len 0x80000000", [] { return KVTRead(-1, kFarPointer, 0x1000, 0x80000000); },
     Line("KVTRead", 0x89ABCDEFu, 0x1000u, 0x80000000u), 0x80000000},
    {"KVTRead, null buf, len 0", [] { return KVTRead(0, nullptr, 0xFFFFFFFF, 0); },
     Line("KVTRead", 0u, 0xFFFFFFFFu, 0u), 0},
    {"KVTRead, len 1", [] { return KVTRead(0, kFarPointer, 0xABCDEF, 1); },
     Line("KVTRead", 0x89ABCDEFu, 0xABCDEFu, 0x1u), 1},
    {"KVTRead, len 0xFFFFFFFF", [] { return KVTRead(0, nullptr, 0, 0xFFFFFFFF); },
     Line("KVTRead", 0u, 0u, 0xFFFFFFFFu), 0xFFFFFFFF},
    {"KVTSyncRead, len 0x80000000", [] { return KVTSyncRead(7, kFarPointer, 0x1000, 0x80000000); },
     Line("KVTSyncRead", 0x89ABCDEFu, 0x1000u, 0x80000000u), 1},
    {"KVTSyncRead, null buf, len 0", [] { return KVTSyncRead(0, nullptr, 0xFFFFFFFF, 0); },
     Line("KVTSyncRead", 0u, 0xFFFFFFFFu, 0u), 1},
    // The longest line of all. The null buffer keeps the capture from reading anything.
    {"KVTSyncWrite, the longest line",
     [] { return KVTSyncWrite(-1, nullptr, 0xFFFFFFFF, 0xFFFFFFFF); },
     Line("KVTSyncWrite", 0u, 0xFFFFFFFFu, 0xFFFFFFFFu), 1},

    {"KVTGo", [] { return KVTGo(); }, Line("KVTGo"), 1},
    {"KVTReset(_, 0)", [] { return KVTReset(-1, 0); }, Line("KVTReset", "off"), 1},
    {"KVTReset(_, 1)", [] { return KVTReset(0, 1); }, Line("KVTReset", "on"), 1},
    {"KVTReset(_, 0x100)", [] { return KVTReset(0, 0x100); }, Line("KVTReset", "on"), 1},
    {"KVTReset(_, INT_MIN)", [] { return KVTReset(0, INT_MIN); }, Line("KVTReset", "on"), 1},
    {"KVTSyncSoftReset", [] { return KVTSyncSoftReset(); }, Line("KVTSyncSoftReset"), 1},
    {"ExpFn0000 skips its first argument",
     [] { return ExpFn0000(0x11111111, 0x22222222, 0xABCDEF01); },
     Line("ExpFn0000", 0x22222222u, 0xABCDEF01u), 1},
    {"ExpFn0000(_, 0, 0xFFFFFFFF)", [] { return ExpFn0000(-1, 0, 0xFFFFFFFF); },
     Line("ExpFn0000", 0u, 0xFFFFFFFFu), 1},
    {"ExpFn0001", [] { return ExpFn0001(); }, Line("ExpFn0001"), 1},
    {"ExpFn0002", [] { return ExpFn0002(); }, Line("ExpFn0002"), 1},
    {"ExpFn0003", [] { return ExpFn0003(); }, Line("ExpFn0003"), 1},
    {"ExpFn0004", [] { return ExpFn0004(); }, Line("ExpFn0004"), 1},
    {"ExpFn0005(1, 2, 3, 4)", [] { return ExpFn0005(1, 2, 3, 4); },
     Line("ExpFn0005", 0x1u, 0x2u, 0x3u, 0x4u), 1},
    {"ExpFn0005 prints its first argument too",
     [] { return ExpFn0005(0xABCDEF01, 0, 0x80000000, 0xFFFFFFFF); },
     Line("ExpFn0005", 0xABCDEF01u, 0u, 0x80000000u, 0xFFFFFFFFu), 1},
};

// Runs every call with PrintLine answering printResult. Each call prints exactly its line,
// formatted in the log line buffer and handed over from there, and answers its result.
void CheckEveryCall(BOOL printResult)
{
    SetPrintResult(printResult);
    TakePrinted();
    for (const Call &c : kCalls) {
        std::memset(g_logLine, '#', sizeof g_logLine);
        const uint32_t result = c.call();
        const std::vector<PrintedText> printed = TakePrinted();
        ASSERT_EQ(printed.size(), 1u) << c.what;
        EXPECT_EQ(printed[0].text, c.line) << c.what;
        EXPECT_EQ(static_cast<const void *>(printed[0].pointer), static_cast<void *>(g_logLine))
            << c.what << ": the line was not handed over from the log line buffer";
        EXPECT_STREQ(g_logLine, c.line.c_str()) << c.what;
        EXPECT_EQ(result, c.returnsPrintLine ? uint32_t(printResult) : c.result) << c.what;
    }
    SetPrintResult(1);
}

TEST(Calls, EachPrintsItsLineThroughTheLogBufferAndAnswers)
{
    CheckEveryCall(1);
}

TEST(Calls, AFailedConsoleWriteChangesOnlyTheResultsOfTheCloseCalls)
{
    CheckEveryCall(0);
}

TEST(Calls, TheLongestLineFitsTheLogBuffer)
{
    KVTSyncWrite(0, nullptr, 0xFFFFFFFF, 0xFFFFFFFF);
    TakePrinted();
    EXPECT_EQ(std::strlen(g_logLine), 63u);
    EXPECT_LT(std::strlen(g_logLine), sizeof g_logLine);
}

TEST(Writes, PrintTheirLineFirstAndAnswer)
{
    const unsigned buf = unsigned(reinterpret_cast<uintptr_t>(g_data));
    EXPECT_EQ(KVTWrite(0, g_data, 0x1000, 4), 4u);
    EXPECT_EQ(TakeLines().at(0), Line("KVTWrite", buf, 0x1000u, 4u));
    EXPECT_EQ(KVTWrite(-1, g_data, 0, 0), 0u);
    EXPECT_EQ(TakeLines().at(0), Line("KVTWrite", buf, 0u, 0u));
    EXPECT_EQ(KVTSyncWrite(5, g_data, 0xFFFF, 3), 1);
    EXPECT_EQ(TakeLines(), Lines{Line("KVTSyncWrite", buf, 0xFFFFu, 3u)});
}

TEST(Reads, LeaveTheCallersBufferUntouched)
{
    unsigned char buf[64], before[64];
    for (unsigned i = 0; i < sizeof buf; ++i)
        buf[i] = static_cast<unsigned char>(0xA5 ^ (i * 37));
    std::memcpy(before, buf, sizeof buf);
    for (uint32_t len : {0u, 1u, 16u, 64u}) {
        EXPECT_EQ(KVTRead(0, buf, 0x10, len), len);
        EXPECT_EQ(TakeLines(), Lines{Line("KVTRead", unsigned(reinterpret_cast<uintptr_t>(buf)),
                                          0x10u, unsigned(len))});
        EXPECT_EQ(KVTSyncRead(0, buf, 0x10, len), 1);
        TakeLines();
        EXPECT_EQ(std::memcmp(buf, before, sizeof buf), 0) << "after reads of " << len << " bytes";
    }
}

// The id that the next KVTFindFirst or KVTFindNext will hand out.
int NextId()
{
    DeviceEntry probe;
    KVTFindFirst(&probe);
    TakeLines();
    return (probe.id + 1) % 256;
}

TEST(Enumeration, WritesTheEightBytesOfTheEntryAndNothingAround)
{
    using Bytes = std::vector<unsigned char>;
    const std::function<void(DeviceEntry *)> calls[] = {
        [](DeviceEntry *e) { KVTFindFirst(e); },
        [](DeviceEntry *e) { KVTFindNext(0, e); },
    };
    for (const auto &call : calls) {
        alignas(8) unsigned char memory[24];
        std::memset(memory, 0xA5, sizeof memory);
        const unsigned char id = static_cast<unsigned char>(NextId());
        call(reinterpret_cast<DeviceEntry *>(memory + 8));
        TakeLines();
        Bytes want(24, 0xA5);
        std::fill(want.begin() + 8, want.begin() + 16, 0); // host 0, id little-endian
        want[12] = id;
        EXPECT_EQ(Bytes(memory, memory + 24), want) << "handing out id " << int(id);
    }
}

TEST(Enumeration, ANullEntryIsNotWrittenButUsesUpItsId)
{
    // Bring the counter to 3, so that the list ends on the second null entry below.
    DeviceEntry entry = {-1, -1};
    for (int i = 0; i < 256 && entry.id != 2; ++i)
        KVTFindNext(0, &entry);
    ASSERT_EQ(entry.id, 2);
    TakeLines();

    EXPECT_EQ(KVTFindNext(0, nullptr), 1);
    EXPECT_EQ(TakeLines(), Lines{Line("KVTFindNext", 0, 3)});
    EXPECT_EQ(KVTFindNext(0, nullptr), 0);
    EXPECT_EQ(TakeLines(), Lines{Line("KVTFindNext", 0, 4)});
    EXPECT_EQ(KVTFindFirst(nullptr), 0xDEAD);
    EXPECT_EQ(TakeLines(), Lines{Line("KVTFindFirst", 0, 5)});
    EXPECT_EQ(KVTFindNext(0, &entry), 1);
    EXPECT_EQ(entry.id, 6) << "the ids of the null entries were used up";
    TakeLines();
}

} // namespace
