#include "runner/memory.h"

#include <windows.h>

#include <cwchar>

#include "device/memory.h"
#include "runner/paths.h"
#include "runner/preload.h"
#include "shell/handle.h"

namespace {

std::wstring Span(uint64_t start, uint64_t end)
{
    return Hex8(start) + L"-" + Hex8(end - 1);
}

// "preload B replaces 256 bytes of the preloads before it (00001000-000010FF)"
std::wstring Replaced(const std::wstring &preload, const AddressRanges::Overlap &overlap)
{
    std::wstring where = Span(overlap.firstStart, overlap.firstEnd);
    return L"preload " + preload + L" replaces " + Plural(overlap.bytes, L"byte") +
           L" of the preloads before it" +
           (overlap.places == 1 ? L" (" + where + L")"
                                : L", in " + std::to_wstring(overlap.places) +
                                      L" places (the first " + where + L")");
}

// What a preload gives, gathered into runs of up to 1 MiB before they are kept: a HEX file
// gives 16 bytes a record, and a write each would cost a system call.
class Gathered {
public:
    explicit Gathered(AddressRanges &ranges) : ranges_(ranges) { run_.reserve(kRun); }
    void Add(uint32_t addr, const unsigned char *data, size_t size)
    {
        if (run_.empty() || addr != start_ + run_.size() || run_.size() + size > kRun) {
            Keep();
            start_ = addr;
        }
        run_.insert(run_.end(), data, data + size);
    }
    // Keeps the last run; the system's error code of the first run that could not be kept, or
    // 0.
    DWORD Finish()
    {
        Keep();
        return error_;
    }

private:
    void Keep()
    {
        if (!KeepWritten(run_.data(), start_, static_cast<uint32_t>(run_.size())) && !error_)
            error_ = GetLastError() ? GetLastError() : ERROR_WRITE_FAULT;
        ranges_.Add(start_, start_ + run_.size());
        run_.clear();
    }

    static const size_t kRun = 1 << 20;
    AddressRanges &ranges_;
    uint64_t start_ = 0;
    std::vector<unsigned char> run_;
    DWORD error_ = 0;
};

// Lays one preload in the open memory; its addresses go to ranges.
Failure Lay(const std::wstring &preload, AddressRanges &ranges)
{
    PreloadSource source;
    std::wstring why;
    if (!ParsePreloadSource(preload, source, why))
        return Fail(kExitBadOptions, L"argument --preload: " + why);
    Gathered gathered(ranges);
    if (Failure failure =
            ReadPreload(source, [&](uint32_t addr, const unsigned char *data, size_t size) {
                gathered.Add(addr, data, size);
            }))
        return failure;
    if (DWORD error = gathered.Finish())
        return Fail(kExitRunner, L"--preload " + preload + L": cannot write it into the device "
                                 L"memory: " + SystemMessage(error));
    return {};
}

} // namespace

Failure RunMemory::Make(const std::wstring &folder, const std::vector<std::wstring> &preloads,
                        const std::function<void(const std::wstring &)> &tell)
{
    path_ = folder + L"\\memory";
    if (!OpenDeviceMemory(path_.c_str()))
        return Fail(kExitRunner, L"cannot make the device memory " + ShownPath(path_) + L": " +
                                     SystemMessage(GetLastError()));
    AddressRanges before;
    for (const std::wstring &preload : preloads) {
        AddressRanges these;
        if (Failure failure = Lay(preload, these)) {
            CloseDeviceMemory();
            return failure;
        }
        AddressRanges::Overlap overlap = before.Within(these);
        if (overlap.bytes)
            tell(Replaced(preload, overlap));
        before.Add(these);
    }
    CloseDeviceMemory();
    std::vector<wchar_t> saved(GetEnvironmentVariableW(MIRDU_MEMORY_VARIABLE, NULL, 0) + 1, 0);
    GetEnvironmentVariableW(MIRDU_MEMORY_VARIABLE, saved.data(), (DWORD)saved.size());
    saved_ = saved.data();
    named_ = SetEnvironmentVariableW(MIRDU_MEMORY_VARIABLE, path_.c_str());
    return {};
}

long RunMemory::Loads() const
{
    UniqueHandle file(CreateFileW(path_.c_str(), GENERIC_READ,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                                  OPEN_EXISTING, 0, NULL));
    MemoryHeader header = {};
    DWORD read = 0;
    if (path_.empty() || !file.valid() ||
        !ReadFile(file.get(), &header, sizeof header, &read, NULL) || read != sizeof header)
        return 0;
    return header.loads;
}

void RunMemory::Remove()
{
    if (named_)
        SetEnvironmentVariableW(MIRDU_MEMORY_VARIABLE, saved_.empty() ? NULL : saved_.c_str());
    named_ = false;
    if (!path_.empty())
        DeleteFileW(path_.c_str());
    path_.clear();
}
