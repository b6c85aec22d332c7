#include "runner/captures.h"

#include <algorithm>

#include "runner/capturename.h"
#include "runner/owners.h"

namespace {

bool Same(const CaptureFile &a, const CaptureFile &b)
{
    return a.size == b.size && CompareFileTime(&a.written, &b.written) == 0 &&
           CompareFileTime(&a.created, &b.created) == 0;
}

Failure NotAFile(const std::wstring &path, const wchar_t *what)
{
    return Fail(kExitRunner, path + L" is " + what + L": only regular files are read as captures");
}

} // namespace

std::wstring InFolder(const std::wstring &folder, const std::wstring &name)
{
    return folder + (folder.back() == L'\\' ? L"" : L"\\") + name;
}

Captures ListCaptures(const std::wstring &folder)
{
    Captures found;
    WIN32_FIND_DATAW entry;
    UniqueFind find(FindFirstFileW(InFolder(folder, L"*").c_str(), &entry));
    if (!find.valid())
        return found;
    do {
        unsigned long long size =
            ((unsigned long long)entry.nFileSizeHigh << 32) | entry.nFileSizeLow;
        CaptureName name;
        if (ParseCaptureName(entry.cFileName, name))
            found[entry.cFileName] = {size, entry.ftLastWriteTime, entry.ftCreationTime,
                                      entry.dwFileAttributes, CaptureOrder(name.number),
                                      name.address};
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
