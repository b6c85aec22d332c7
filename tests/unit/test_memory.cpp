// The memory build's device memory: reads answer what was written last, 0xFF elsewhere, across
// pages, the ends of the address space and a second load; the file costs what was written.
// The calls still print exactly their lines and answer as mirdu.dll's do.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "device/memory.h"
#include "exports/mirdu.h"
#include "tests/unit/recorder.h"

namespace {

using Bytes = std::vector<unsigned char>;

std::wstring TempPath(const wchar_t *name)
{
    wchar_t folder[MAX_PATH];
    GetTempPathW(MAX_PATH, folder);
    return std::wstring(folder) + name + std::to_wstring(GetCurrentProcessId());
}

// A device memory of the test's own in %TEMP%, removed after it.
class Memory : public ::testing::Test {
protected:
    void SetUp() override
    {
        DeleteFileW(path_.c_str());
        ASSERT_TRUE(OpenDeviceMemory(path_.c_str()));
    }
    void TearDown() override
    {
        CloseDeviceMemory();
        DeleteFileW(path_.c_str());
        TakeLines();
    }
    static Bytes Read(uint32_t addr, uint32_t len)
    {
        Bytes got(len, 0x5A);
        AnswerRead(got.data(), addr, len);
        return got;
    }

    const std::wstring path_ = TempPath(L"mirdu-unit-memory-");
};

Bytes Pattern(size_t n, unsigned seed)
{
    Bytes bytes(n);
    std::mt19937 random(seed);
    for (auto &b : bytes)
        b = static_cast<unsigned char>(random());
    return bytes;
}

TEST_F(Memory, AnswersTheLatestWriteAndErasedFlashElsewhereOverPagesAndTheTopOfTheSpace)
{
    // Seeded random writes and reads near page edges, at 0 and at the top of the address
    // space, compared with a byte-for-byte model; a write past FFFFFFFF keeps what fits.
    const uint32_t windows[] = {0, 0x00FFE000, 0xFFFFA000};
    const unsigned seed = std::random_device()();
    std::mt19937 random(seed);
    std::map<uint64_t, unsigned char> model;
    for (int step = 0; step < 400; step++) {
        const uint32_t addr = windows[random() % 3] + random() % 0x6000;
        const uint32_t len = random() % 4 == 0 ? random() % 16 : random() % 0x2400;
        if (random() % 2) {
            const Bytes data = Pattern(len, random());
            KeepWritten(data.data(), addr, len);
            for (uint32_t i = 0; i < len && uint64_t(addr) + i < (1ull << 32); i++)
                model[uint64_t(addr) + i] = data[i];
            continue;
        }
        Bytes want(len);
        for (uint32_t i = 0; i < len; i++) {
            auto kept = model.find(uint64_t(addr) + i);
            want[i] = kept == model.end() ? 0xFF : kept->second;
        }
        ASSERT_EQ(Read(addr, len), want) << "seed " << seed << ", step " << step << ": read of "
                                         << len << " bytes at " << std::hex << addr;
    }
}

TEST_F(Memory, TheTransferCallsKeepAndAnswerAndPrintTheirLinesAsMirduDllDoes)
{
    const Bytes data = Pattern(300, 1), more = Pattern(8, 2);
    char line[80];
    EXPECT_EQ(KVTWrite(0, data.data(), 0x1000, 300), 300u);
    EXPECT_EQ(KVTSyncWrite(0, more.data(), 0x1010, 8), 1);
    Bytes got(320, 0);
    EXPECT_EQ(KVTRead(0, got.data(), 0x1000, 310), 310u);
    std::snprintf(line, sizeof line, "KVTRead : buf = %08X, addr = 00001000, len = 00000136\n",
                  unsigned(reinterpret_cast<uintptr_t>(got.data())));
    Bytes want(data);
    std::copy(more.begin(), more.end(), want.begin() + 0x10);
    want.resize(310, 0xFF);
    want.resize(320, 0);
    EXPECT_EQ(got, want);
    std::fill(got.begin(), got.end(), 0x5A);
    EXPECT_EQ(KVTSyncRead(0, got.data() + 1, 0x1001, 2), 1);
    EXPECT_EQ(got[1], data[1]);
    const std::vector<std::string> lines = TakeLines();
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[2], line);
    EXPECT_EQ(lines[3].substr(0, 16), "KVTSyncRead : bu");

    // A null buffer is printed and answered as ever; nothing is kept or filled.
    EXPECT_EQ(KVTRead(0, nullptr, 0x1000, 16), 16u);
    EXPECT_EQ(KVTSyncWrite(0, nullptr, 0x1000, 16), 1);
    EXPECT_EQ(TakeLines(), (std::vector<std::string>{
                               "KVTRead : buf = 00000000, addr = 00001000, len = 00000010\n",
                               "KVTSyncWrite : buf = 00000000, addr = 00001000, len = 00000010\n"}));
    EXPECT_EQ(Read(0x1000, 16), Bytes(data.begin(), data.begin() + 16));
}

TEST_F(Memory, ALaterOpenOfTheFileReadsWhatAnEarlierOneWroteAndCountsTheLoads)
{
    const Bytes data = Pattern(5000, 3);
    KeepWritten(data.data(), 0x20000800, 5000);
    CloseDeviceMemory();
    EXPECT_EQ(Read(0x20000800, 4), Bytes(4, 0xFF)) << "a closed memory answers 0xFF";

    ASSERT_TRUE(SetEnvironmentVariableW(MIRDU_MEMORY_VARIABLE, path_.c_str()));
    OpenRunMemory();
    OpenRunMemory();
    SetEnvironmentVariableW(MIRDU_MEMORY_VARIABLE, NULL);
    EXPECT_EQ(Read(0x20000800, 5000), data);
    EXPECT_EQ(Read(0x20000000, 0x800), Bytes(0x800, 0xFF)) << "the rest of the first page";
    MemoryHeader header;
    HANDLE file = CreateFileW(path_.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              NULL, OPEN_EXISTING, 0, NULL);
    DWORD read = 0;
    ReadFile(file, &header, sizeof header, &read, NULL);
    CloseHandle(file);
    EXPECT_EQ(std::string(header.magic), kMemoryMagic);
    EXPECT_EQ(header.loads, 2);
}

TEST_F(Memory, WithoutTheVariableALoadHasAMemoryOfItsOwnThatGoesWithIt)
{
    CloseDeviceMemory();
    SetEnvironmentVariableW(MIRDU_MEMORY_VARIABLE, NULL);
    const Bytes data = Pattern(64, 4);
    OpenRunMemory();
    KeepWritten(data.data(), 0x400, 64);
    EXPECT_EQ(Read(0x400, 64), data);
    CloseDeviceMemory();
    OpenRunMemory();
    EXPECT_EQ(Read(0x400, 64), Bytes(64, 0xFF));
    CloseDeviceMemory();
}

TEST_F(Memory, AFileThatIsNoDeviceMemoryIsLeftAsItIs)
{
    CloseDeviceMemory();
    const std::wstring other = TempPath(L"mirdu-unit-other-");
    const std::string text = "not a device memory";
    HANDLE file = CreateFileW(other.c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
    DWORD written = 0;
    WriteFile(file, text.data(), DWORD(text.size()), &written, NULL);
    CloseHandle(file);
    EXPECT_FALSE(OpenDeviceMemory(other.c_str()));
    const Bytes data = Pattern(16, 5);
    KeepWritten(data.data(), 0, 16);
    EXPECT_EQ(Read(0, 16), Bytes(16, 0xFF));
    WIN32_FILE_ATTRIBUTE_DATA info;
    ASSERT_TRUE(GetFileAttributesExW(other.c_str(), GetFileExInfoStandard, &info));
    EXPECT_EQ(info.nFileSizeLow, text.size());
    DeleteFileW(other.c_str());
}

TEST_F(Memory, TheFileHoldsOnlyThePagesWrittenThoughItSpansTheAddressSpace)
{
    const Bytes data = Pattern(kMemoryPageSize, 6);
    KeepWritten(data.data(), 0, kMemoryPageSize);
    KeepWritten(data.data(), 0xFFFFF000, kMemoryPageSize);
    WIN32_FILE_ATTRIBUTE_DATA info;
    ASSERT_TRUE(GetFileAttributesExW(path_.c_str(), GetFileExInfoStandard, &info));
    EXPECT_EQ((uint64_t(info.nFileSizeHigh) << 32) | info.nFileSizeLow,
              kMemoryDataOffset + (1ull << 32));
    HANDLE file = CreateFileW(path_.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ |
                              FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL, OPEN_EXISTING, 0, NULL);
    FILE_STANDARD_INFO standard = {};
    EXPECT_TRUE(GetFileInformationByHandleEx(file, FileStandardInfo, &standard, sizeof standard));
    CloseHandle(file);
    EXPECT_GE(standard.AllocationSize.QuadPart, 2 * kMemoryPageSize) << "bytes on disk";
    EXPECT_LT(standard.AllocationSize.QuadPart, 1 << 20) << "bytes on disk";
}

} // namespace
