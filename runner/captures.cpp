#include "runner/captures.h"

namespace {

class FindHandle {
public:
    explicit FindHandle(HANDLE handle) : handle_(handle) {}
    FindHandle(const FindHandle &) = delete;
    FindHandle &operator=(const FindHandle &) = delete;
    ~FindHandle()
    {
        if (valid())
            FindClose(handle_);
    }
    bool valid() const { return handle_ != INVALID_HANDLE_VALUE; }
    HANDLE get() const { return handle_; }

private:
    HANDLE handle_;
};

bool Same(const CaptureFile &a, const CaptureFile &b)
{
    return a.size == b.size && CompareFileTime(&a.written, &b.written) == 0 &&
           CompareFileTime(&a.created, &b.created) == 0;
}

} // namespace

bool IsCaptureName(const std::wstring &name)
{
    size_t digits = 0;
    while (digits < name.size() && name[digits] >= L'0' && name[digits] <= L'9')
        digits++;
    std::wstring rest = name.substr(digits);
    const std::wstring kinds[] = {L"-kvtwrite-", L"-kvtsyncwrite-"};
    for (const std::wstring &kind : kinds) {
        if (digits < 4 || rest.compare(0, kind.size(), kind) != 0 ||
            rest.size() != kind.size() + 12 || rest.compare(kind.size() + 8, 4, L".bin") != 0)
            continue;
        bool hex = true;
        for (size_t i = kind.size(); i < kind.size() + 8; i++)
            hex = hex && ((rest[i] >= L'0' && rest[i] <= L'9') || (rest[i] >= L'A' && rest[i] <= L'F'));
        if (hex)
            return true;
    }
    return false;
}

Captures ListCaptures(const std::wstring &folder)
{
    Captures found;
    WIN32_FIND_DATAW entry;
    std::wstring pattern = folder + (folder.back() == L'\\' ? L"*" : L"\\*");
    FindHandle find(FindFirstFileW(pattern.c_str(), &entry));
    if (!find.valid())
        return found;
    do {
        if (!(entry.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) &&
            IsCaptureName(entry.cFileName))
            found[entry.cFileName] = {
                ((unsigned long long)entry.nFileSizeHigh << 32) | entry.nFileSizeLow,
                entry.ftLastWriteTime, entry.ftCreationTime};
    } while (FindNextFileW(find.get(), &entry));
    return found;
}

Captures WrittenSince(const Captures &before, const Captures &after)
{
    Captures written;
    for (const auto &file : after) {
        auto old = before.find(file.first);
        if (old == before.end() || !Same(old->second, file.second))
            written.insert(file);
    }
    return written;
}
