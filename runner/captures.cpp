#include "runner/captures.h"

#include <algorithm>

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

bool IsDigit(wchar_t c) { return c >= L'0' && c <= L'9'; }

// "-kvtwrite-AAAAAAAA.bin" or "-kvtsyncwrite-AAAAAAAA.bin"; the address, upper-case hex.
bool ParseKindAndAddress(const std::wstring &rest, uint32_t &address)
{
    const std::wstring kinds[] = {L"-kvtwrite-", L"-kvtsyncwrite-"};
    for (const std::wstring &kind : kinds) {
        if (rest.size() != kind.size() + 12 || rest.compare(0, kind.size(), kind) != 0 ||
            rest.compare(kind.size() + 8, 4, L".bin") != 0)
            continue;
        address = 0;
        for (size_t i = kind.size(); i < kind.size() + 8; i++) {
            wchar_t c = rest[i];
            if (!IsDigit(c) && !(c >= L'A' && c <= L'F'))
                return false;
            address = address << 4 | (IsDigit(c) ? c - L'0' : c - L'A' + 10);
        }
        return true;
    }
    return false;
}

Failure NotAFile(const std::wstring &path, const wchar_t *what)
{
    return Fail(kExitRunner, path + L" is " + what + L": only regular files are read as captures");
}

} // namespace

bool ParseCaptureName(const std::wstring &name, uint32_t &order, uint32_t &address)
{
    const bool negative = !name.empty() && name[0] == L'-';
    const unsigned long long top = 1ull << 31; // -2147483648 and 2147483647 are the ends
    unsigned long long magnitude = 0;
    size_t end = negative ? 1 : 0;
    for (; end < name.size() && IsDigit(name[end]); end++)
        magnitude = std::min(magnitude * 10 + (name[end] - L'0'), top + 1);
    if (end < 4 || magnitude > (negative ? top : top - 1))
        return false;
    order = negative ? (uint32_t)(0 - magnitude) : (uint32_t)magnitude;
    return ParseKindAndAddress(name.substr(end), address);
}

std::wstring InFolder(const std::wstring &folder, const std::wstring &name)
{
    return folder + (folder.back() == L'\\' ? L"" : L"\\") + name;
}

Captures ListCaptures(const std::wstring &folder)
{
    Captures found;
    WIN32_FIND_DATAW entry;
    FindHandle find(FindFirstFileW(InFolder(folder, L"*").c_str(), &entry));
    if (!find.valid())
        return found;
    do {
        unsigned long long size =
            ((unsigned long long)entry.nFileSizeHigh << 32) | entry.nFileSizeLow;
        CaptureFile file = {size, entry.ftLastWriteTime, entry.ftCreationTime,
                            entry.dwFileAttributes, 0, 0};
        if (ParseCaptureName(entry.cFileName, file.order, file.address))
            found[entry.cFileName] = file;
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

Failure OpenCaptureFile(const std::wstring &path, DWORD access, UniqueHandle &file,
                        BY_HANDLE_FILE_INFORMATION &info)
{
    file.reset(CreateFileW(path.c_str(), access,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, NULL));
    if (!file.valid())
        return Fail(kExitRunner, L"cannot read " + path + L": " + SystemMessage(GetLastError()));
    switch (GetFileType(file.get())) {
    case FILE_TYPE_DISK:
        break;
    case FILE_TYPE_PIPE:
        return NotAFile(path, L"a pipe or a socket");
    case FILE_TYPE_CHAR:
        return NotAFile(path, L"a device");
    default:
        return NotAFile(path, L"no file on disk");
    }
    if (!GetFileInformationByHandle(file.get(), &info))
        return Fail(kExitRunner, L"cannot read " + path + L": " + SystemMessage(GetLastError()));
    if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
        return NotAFile(path, L"a folder");
    return {};
}

Failure CheckCaptureFile(const std::wstring &path, const CaptureFile &file)
{
    if (file.attributes & FILE_ATTRIBUTE_DIRECTORY)
        return NotAFile(path, L"a folder");
    if (file.size > 0 && !(file.attributes & FILE_ATTRIBUTE_REPARSE_POINT))
        return {};
    UniqueHandle handle;
    BY_HANDLE_FILE_INFORMATION info;
    return OpenCaptureFile(path, FILE_READ_ATTRIBUTES, handle, info);
}

void LeaveOddEntries(const std::wstring &folder, Captures &written)
{
    for (auto file = written.begin(); file != written.end();) {
        if (Failure odd = CheckCaptureFile(InFolder(folder, file->first), file->second)) {
            Say(odd.message + L"; left alone");
            file = written.erase(file);
        } else {
            ++file;
        }
    }
}

std::vector<std::pair<std::wstring, unsigned long long>> InOrder(const Captures &captures)
{
    std::vector<std::pair<uint32_t, const Captures::value_type *>> sorted;
    for (const auto &capture : captures)
        sorted.emplace_back(capture.second.order, &capture);
    std::stable_sort(sorted.begin(), sorted.end(),
                     [](const auto &a, const auto &b) { return a.first < b.first; });
    std::vector<std::pair<std::wstring, unsigned long long>> files;
    for (const auto &entry : sorted)
        files.emplace_back(entry.second->first, entry.second->second.size);
    return files;
}
