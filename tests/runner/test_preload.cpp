// --preload: the option's value taken apart, Intel HEX read in pieces of any size, the files
// refused and why, and the run's device memory laid from preloads that overlap, the later one
// winning and said once.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "device/memory.h"
#include "runner/memory.h"
#include "runner/preload.h"

namespace {

using Bytes = std::vector<unsigned char>;
struct Piece {
    uint32_t addr;
    Bytes data;
    bool operator==(const Piece &o) const { return addr == o.addr && data == o.data; }
};

// One record, its checksum made right.
std::string Record(unsigned type, unsigned offset, const Bytes &data)
{
    Bytes bytes = {static_cast<unsigned char>(data.size()), static_cast<unsigned char>(offset >> 8),
                   static_cast<unsigned char>(offset), static_cast<unsigned char>(type)};
    bytes.insert(bytes.end(), data.begin(), data.end());
    unsigned sum = 0;
    for (unsigned char b : bytes)
        sum += b;
    bytes.push_back(static_cast<unsigned char>(0x100 - (sum & 0xFF)));
    std::string text = ":";
    char hex[3];
    for (unsigned char b : bytes)
        std::snprintf(hex, sizeof hex, "%02X", b), text += hex;
    return text;
}

const std::string kEnd = ":00000001FF";

// The pieces of a HEX text fed in pieces of size step; why is set when it was refused.
std::vector<Piece> ReadHex(const std::string &text, size_t step, std::wstring &why)
{
    std::vector<Piece> pieces;
    HexReader reader([&](uint32_t addr, const unsigned char *data, size_t size) {
        pieces.push_back({addr, Bytes(data, data + size)});
    });
    why.clear();
    for (size_t at = 0; at < text.size(); at += step)
        if (!reader.Feed(text.data() + at, std::min(step, text.size() - at), why))
            return pieces;
    reader.Finish(why);
    return pieces;
}

TEST(PreloadSource, TellsHexFromRawBytesAtAnAddressAndRefusesTheRest)
{
    struct Case {
        const wchar_t *text, *path;
        bool hex;
        uint32_t addr;
    } good[] = {{L"fw.hex", L"fw.hex", true, 0},
                {L"C:\\fw\\BOARD.IHEX", L"C:\\fw\\BOARD.IHEX", true, 0},
                {L"fw.bin@0x1000", L"fw.bin", false, 0x1000},
                {L"id.bin@4096", L"id.bin", false, 4096},
                {L"me@home.hex", L"me@home.hex", true, 0},
                {L"/tmp/a@b/fw.hex@0XFFFFFFFF", L"/tmp/a@b/fw.hex", false, 0xFFFFFFFF}};
    for (const Case &c : good) {
        PreloadSource source;
        std::wstring why;
        ASSERT_TRUE(ParsePreloadSource(c.text, source, why)) << c.text;
        EXPECT_EQ(source.path, c.path);
        EXPECT_EQ(source.hex, c.hex) << c.text;
        EXPECT_EQ(source.addr, c.addr) << c.text;
    }
    const std::pair<const wchar_t *, const wchar_t *> bad[] = {
        {L"fw.bin", L"is neither Intel HEX"},
        {L"fw.hex@0x100000000", L"is no address from 0 to 0xFFFFFFFF"},
        {L"fw.bin@12ab", L"'12ab' in 'fw.bin@12ab' is no address"},
        {L"fw.bin@0x", L"is no address"},
        {L"fw.bin@1\u0660", L"is no address"}, // digits of another script are none of ours
        {L"fw.bin@\u0661\u0660", L"is neither Intel HEX"},
        {L"@0x10", L"names no file before the @"}};
    for (const auto &c : bad) {
        PreloadSource source;
        std::wstring why;
        EXPECT_FALSE(ParsePreloadSource(c.first, source, why)) << c.first;
        EXPECT_NE(why.find(c.second), std::wstring::npos) << why;
    }
}

TEST(HexReader, GivesTheDataAtTheirAddressesHoweverTheFileIsCut)
{
    // The longest record with blanks and CR before its LF, segment and linear addresses, CR LF
    // and blank lines, start addresses left out, a record that runs on past 64 KiB, and nothing
    // of what follows the end.
    const std::string text = Record(0, 0x0100, Bytes(255, 7)) + " \r\n" +
                             Record(0, 0x0010, {1, 2, 3}) + "\r\n\n" +
                             Record(2, 0, {0x12, 0x34}) + "\n" + Record(0, 0xFFFE, {4, 5, 6, 7}) +
                             "\n" + Record(3, 0, {0, 0, 0, 0}) + "\n" + Record(4, 0, {0xFF, 0xFF}) +
                             "\n" + Record(0, 0xFFF0, Bytes(16, 9)) + "\n" +
                             Record(5, 0, {1, 2, 3, 4}) + "  \n" + kEnd + "\n" +
                             "not read after the end\n";
    const std::vector<Piece> want = {{0x100, Bytes(255, 7)},
                                     {0x10, {1, 2, 3}},
                                     {0x12340 + 0xFFFE, {4, 5, 6, 7}},
                                     {0xFFFFFFF0, Bytes(16, 9)}};
    for (size_t step : {size_t(1), size_t(2), size_t(7), size_t(40), text.size()}) {
        std::wstring why;
        EXPECT_EQ(ReadHex(text, step, why), want) << "pieces of " << step;
        EXPECT_EQ(why, L"") << "pieces of " << step;
    }
}

TEST(HexReader, RefusesWhatIsNoIntelHexWithTheLineAndWhy)
{
    std::string badChecksum = Record(0, 0, {1, 2});
    badChecksum.back() = badChecksum.back() == '0' ? '1' : '0';
    const std::pair<std::string, const wchar_t *> cases[] = {
        {"S00600004844521B", L"line 1: not a record: a record starts with ':'"},
        {Record(0, 0, {1}) + "\n:0100000", L"line 2: not a record: a record is pairs of hexadecimal"},
        {":01000000GG00", L"line 1: not a record: a record is pairs"},
        {":0300000001023F", L"line 1: not a record: its byte count says 3 bytes of data, and it "
                            L"holds 2"},
        {":", L"line 1: not a record: its byte count says 0 bytes of data, and it holds 0"},
        {badChecksum, L"line 1: checksum "},
        {Record(6, 0, {}), L"line 1: record type 06 is none of Intel HEX's (00 to 05)"},
        {Record(4, 0, {1, 2, 3}), L"line 1: an extended address record holds 2 bytes, not 3"},
        {Record(4, 0, {0xFF, 0xFF}) + "\n" + Record(0, 0xFFF0, Bytes(17, 1)),
         L"line 2: data at FFFFFFF0 runs past FFFFFFFF, the end of the 4 GiB address space"},
        {Record(0, 0, {1}) + "\n", L"no end-of-file record (:00000001FF): the file may be cut "
                                   L"short"},
        {":" + std::string(5000, '0'), L"line 1: not a record: longer than any record"}};
    for (const auto &c : cases) {
        for (size_t step : {size_t(3), size_t(1 << 20)}) {
            std::wstring why;
            ReadHex(c.first + "\n" + kEnd + "\n", step, why);
            if (std::wstring(c.second).rfind(L"no end", 0) == 0)
                ReadHex(c.first, step, why);
            EXPECT_EQ(why.substr(0, wcslen(c.second)), c.second) << c.first.substr(0, 40);
        }
    }
}

TEST(AddressRanges, CountTheBytesAndPlacesWhereALaterPreloadLiesOverEarlierOnes)
{
    AddressRanges before, later, beside;
    before.Add(0x1000, 0x1100);
    before.Add(0x2000, 0x2010);
    before.Add(0x1100, 0x1180); // joins the first
    later.Add(0x1170, 0x2008);
    later.Add(0x3000, 0x3010);
    AddressRanges::Overlap overlap = before.Within(later);
    EXPECT_EQ(overlap.bytes, 0x10u + 8u);
    EXPECT_EQ(overlap.places, 2u);
    EXPECT_EQ(overlap.firstStart, 0x1170u);
    EXPECT_EQ(overlap.firstEnd, 0x1180u);
    beside.Add(0x1180, 0x2000); // touches both, lies over neither
    EXPECT_EQ(before.Within(beside).bytes, 0u);
}

std::wstring TempFolder()
{
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    std::wstring folder = std::wstring(temp) + L"mirdu-preload-test-" +
                          std::to_wstring(GetCurrentProcessId());
    CreateDirectoryW(folder.c_str(), NULL);
    return folder;
}

void WriteText(const std::wstring &path, const std::string &bytes)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
    DWORD written = 0;
    ::WriteFile(file, bytes.data(), DWORD(bytes.size()), &written, NULL);
    CloseHandle(file);
}

Bytes ReadMemory(const std::wstring &path, uint32_t addr, uint32_t len)
{
    Bytes got(len);
    EXPECT_TRUE(OpenDeviceMemory(path.c_str()));
    AnswerRead(got.data(), addr, len);
    CloseDeviceMemory();
    return got;
}

TEST(RunMemory, LaysThePreloadsInOrderTheLaterWinningAndSaidOnOneLine)
{
    const std::wstring folder = TempFolder(), hex = folder + L"\\id.hex",
                       raw = folder + L"\\block.bin";
    WriteText(hex, Record(4, 0, {0x00, 0x01}) + "\n" + Record(0, 0x0000, {'M', 'R', 'D', 'U'}) +
                       "\n" + Record(0, 0x0100, {1, 2}) + "\n" + kEnd + "\n");
    WriteText(raw, "abc");
    std::vector<std::wstring> told;
    {
        RunMemory memory;
        ASSERT_FALSE(memory.Make(folder, {hex, raw + L"@0x10002", raw + L"@65792"},
                                 [&](const std::wstring &line) { told.push_back(line); }));
        wchar_t named[MAX_PATH] = L"";
        GetEnvironmentVariableW(MIRDU_MEMORY_VARIABLE, named, MAX_PATH);
        EXPECT_EQ(named, folder + L"\\memory");
        EXPECT_EQ(ReadMemory(named, 0x10000, 6), (Bytes{'M', 'R', 'a', 'b', 'c', 0xFF}));
        EXPECT_EQ(ReadMemory(named, 0x100FF, 4), (Bytes{0xFF, 'a', 'b', 'c'}));
        EXPECT_EQ(memory.Loads(), 0);
    }
    EXPECT_EQ(told, (std::vector<std::wstring>{
                        L"preload " + raw + L"@0x10002 replaces 2 bytes of the preloads before it "
                                            L"(00010002-00010003)",
                        L"preload " + raw + L"@65792 replaces 2 bytes of the preloads before it "
                                            L"(00010100-00010101)"}));
    EXPECT_EQ(GetEnvironmentVariableW(MIRDU_MEMORY_VARIABLE, NULL, 0), 0u) << "left named";
    EXPECT_EQ(GetFileAttributesW((folder + L"\\memory").c_str()), INVALID_FILE_ATTRIBUTES);

    // A file that cannot be read, or runs past the end, is refused before anything runs, and
    // nothing is left.
    WriteText(raw, std::string(257, 'x'));
    const std::pair<std::wstring, const wchar_t *> refused[] = {
        {folder + L"\\absent.hex", L"cannot read it: "},
        {raw + L"@0xFFFFFF00", L"its 257 bytes at FFFFFF00 run past FFFFFFFF"},
        {hex + L"@0xFFFFFF00", nullptr}};
    for (const auto &r : refused) {
        RunMemory memory;
        Failure failure = memory.Make(folder, {r.first}, [](const std::wstring &) {});
        if (!r.second) {
            EXPECT_FALSE(failure) << "a small file at the top fits";
            continue;
        }
        EXPECT_EQ(failure.status, 125);
        EXPECT_EQ(failure.message.find(L"--preload "), 0u) << failure.message;
        EXPECT_NE(failure.message.find(r.second), std::wstring::npos) << failure.message;
    }
    EXPECT_EQ(GetFileAttributesW((folder + L"\\memory").c_str()), INVALID_FILE_ATTRIBUTES);
    DeleteFileW(hex.c_str());
    DeleteFileW(raw.c_str());
    RemoveDirectoryW(folder.c_str());
}

} // namespace
