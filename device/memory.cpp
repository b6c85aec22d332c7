// The device memory of the memory build: a sparse file, its header and page map mapped, its
// data read and written in place (device/memory.h).
#include "device/memory.h"

#include <windows.h>
#include <winioctl.h>

#include "shell/handle.h"

const char kMemoryMagic[16] = "MIRDU-MEMORY-1";

namespace {

const uint64_t kAddressSpace = 1ull << 32;
const unsigned kPageShift = 12;

UniqueHandle g_file;
UniqueView g_map; // the header and the map of pages ever written
unsigned char g_erased[kMemoryPageSize]; // 0xFF: a page never written
wchar_t g_path[MAX_PATH];

unsigned char *PageMap() { return static_cast<unsigned char *>(g_map.get()) + kMemoryBitmapOffset; }

bool PageWritten(uint32_t page) { return PageMap()[page >> 3] & (1u << (page & 7)); }

void MarkPageWritten(uint32_t page) { PageMap()[page >> 3] |= static_cast<unsigned char>(1u << (page & 7)); }

OVERLAPPED At(uint64_t address)
{
    const uint64_t offset = kMemoryDataOffset + address;
    OVERLAPPED at = {};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    return at;
}

bool WriteAt(uint64_t address, const void *data, DWORD length)
{
    OVERLAPPED at = At(address);
    DWORD written = 0;
    return WriteFile(g_file.get(), data, length, &written, &at) && written == length;
}

DWORD ReadAt(uint64_t address, void *data, DWORD length)
{
    OVERLAPPED at = At(address);
    DWORD read = 0;
    return ReadFile(g_file.get(), data, length, &read, &at) ? read : 0;
}

// A page that a write covers only in part keeps 0xFF in the rest.
bool EraseIfNew(uint32_t page)
{
    return PageWritten(page) ||
           WriteAt(static_cast<uint64_t>(page) << kPageShift, g_erased, kMemoryPageSize);
}

// The end of the pages from page on that are written or not as it is, at most at end.
uint64_t EndOfLikePages(uint32_t page, bool written, uint64_t end)
{
    uint64_t next = (static_cast<uint64_t>(page) + 1) << kPageShift;
    while (next < end && PageWritten(static_cast<uint32_t>(next >> kPageShift)) == written)
        next += kMemoryPageSize;
    return next < end ? next : end;
}

// A new file (or an empty one) becomes an empty device memory: sparse, so that holes cost
// nothing, with its header and a page map of zeros.
bool MakeMemory(HANDLE file)
{
    DWORD returned;
    DeviceIoControl(file, FSCTL_SET_SPARSE, NULL, 0, NULL, 0, &returned, NULL);
    MemoryHeader header = {};
    CopyMemory(header.magic, kMemoryMagic, sizeof header.magic);
    DWORD written = 0;
    LARGE_INTEGER end;
    end.QuadPart = kMemoryDataOffset;
    return WriteFile(file, &header, sizeof header, &written, NULL) && written == sizeof header &&
           SetFilePointerEx(file, end, NULL, FILE_BEGIN) && SetEndOfFile(file);
}

bool HasMagic(const void *view)
{
    const char *magic = static_cast<const char *>(view);
    for (size_t i = 0; i < sizeof kMemoryMagic; i++)
        if (magic[i] != kMemoryMagic[i])
            return false;
    return true;
}

bool MapHeader()
{
    LARGE_INTEGER size;
    if (!GetFileSizeEx(g_file.get(), &size))
        return false;
    // A mapping larger than the file would make it larger: another file is left as it is.
    if (size.QuadPart == 0 ? !MakeMemory(g_file.get()) : size.QuadPart < kMemoryDataOffset)
        return false;
    UniqueHandle mapping(CreateFileMappingW(g_file.get(), NULL, PAGE_READWRITE, 0,
                                            kMemoryDataOffset, NULL));
    if (!mapping.valid())
        return false;
    g_map.reset(MapViewOfFile(mapping.get(), FILE_MAP_WRITE, 0, 0, kMemoryDataOffset));
    if (g_map.valid() && HasMagic(g_map.get()))
        return true;
    g_map.reset();
    return false;
}

bool UseFile(HANDLE file)
{
    CloseDeviceMemory();
    FillMemory(g_erased, sizeof g_erased, 0xFF);
    g_file.reset(file);
    if (g_file.valid() && MapHeader())
        return true;
    CloseDeviceMemory();
    return false;
}

const DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

} // namespace

bool OpenDeviceMemory(const wchar_t *path)
{
    return UseFile(CreateFileW(path, GENERIC_READ | GENERIC_WRITE, kShareAll, NULL, OPEN_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, NULL));
}

void OpenRunMemory()
{
    bool opened = false;
    DWORD length = GetEnvironmentVariableW(MIRDU_MEMORY_VARIABLE, g_path, MAX_PATH);
    if (length > 0) {
        // A name too long to open is no memory, not one of the load's own.
        opened = length < MAX_PATH && OpenDeviceMemory(g_path);
    } else {
        wchar_t folder[MAX_PATH];
        DWORD got = GetTempPathW(MAX_PATH, folder);
        opened = got > 0 && got < MAX_PATH && GetTempFileNameW(folder, L"mdm", 0, g_path) &&
                 UseFile(CreateFileW(g_path, GENERIC_READ | GENERIC_WRITE, kShareAll, NULL,
                                     CREATE_ALWAYS,
                                     FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, NULL));
    }
    if (opened)
        InterlockedIncrement(&static_cast<MemoryHeader *>(g_map.get())->loads);
}

void CloseDeviceMemory()
{
    g_map.reset();
    g_file.reset();
}

bool KeepWritten(const void *buf, uint32_t addr, uint32_t len)
{
    if (buf == NULL || len == 0)
        return true;
    if (!g_map.valid())
        return false;
    uint64_t end = static_cast<uint64_t>(addr) + len;
    if (end > kAddressSpace)
        end = kAddressSpace;
    const uint32_t first = addr >> kPageShift;
    const uint32_t last = static_cast<uint32_t>((end - 1) >> kPageShift);
    bool erased = true;
    if (addr % kMemoryPageSize != 0 || (first == last && end % kMemoryPageSize != 0))
        erased = EraseIfNew(first);
    if (last != first && end % kMemoryPageSize != 0)
        erased = EraseIfNew(last) && erased;
    // Pages are marked only once they hold what was written.
    if (!erased || !WriteAt(addr, buf, static_cast<DWORD>(end - addr)))
        return false;
    for (uint32_t page = first;; page++) {
        MarkPageWritten(page);
        if (page == last)
            break;
    }
    return true;
}

void AnswerRead(void *buf, uint32_t addr, uint32_t len)
{
    if (buf == NULL)
        return;
    unsigned char *out = static_cast<unsigned char *>(buf);
    uint64_t at = addr;
    const uint64_t end = at + len, top = end < kAddressSpace ? end : kAddressSpace;
    while (at < top) {
        const uint32_t page = static_cast<uint32_t>(at >> kPageShift);
        const bool written = g_map.valid() && PageWritten(page);
        const uint64_t runEnd = g_map.valid() ? EndOfLikePages(page, written, top) : top;
        const DWORD length = static_cast<DWORD>(runEnd - at);
        const DWORD read = written ? ReadAt(at, out, length) : 0;
        FillMemory(out + read, length - read, 0xFF);
        out += length;
        at = runEnd;
    }
    FillMemory(out, static_cast<size_t>(end - top), 0xFF);
}
