#include "runner/placement.h"

#include <windows.h>

#include <vector>

#include "runner/paths.h"
#include "runner/scope.h"
#include "runner/owners.h"

namespace {

bool ReadWhole(const std::wstring &path, std::string &bytes)
{
    UniqueHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  NULL, OPEN_EXISTING, 0, NULL));
    LARGE_INTEGER size;
    if (!file.valid() || !GetFileSizeEx(file.get(), &size) || size.QuadPart > (1 << 30))
        return false;
    bytes.resize((size_t)size.QuadPart);
    DWORD read = 0;
    return bytes.empty() || (ReadFile(file.get(), &bytes[0], (DWORD)bytes.size(), &read, NULL) &&
                             read == bytes.size());
}

bool SameBytes(const std::wstring &a, const std::wstring &b)
{
    std::string first, second;
    return ReadWhole(a, first) && ReadWhole(b, second) && first == second;
}

std::wstring FolderOf(const std::wstring &path)
{
    size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? L"." : path.substr(0, slash);
}

bool IsWow64()
{
    BOOL wow64 = FALSE;
    return IsWow64Process(GetCurrentProcess(), &wow64) && wow64;
}

// A 32-bit runner sees the 32-bit system folder where a 64-bit program has its own.
class RedirectionOff {
public:
    explicit RedirectionOff(bool off) : off_(off && Wow64DisableWow64FsRedirection(&saved_)) {}
    RedirectionOff(const RedirectionOff &) = delete;
    RedirectionOff &operator=(const RedirectionOff &) = delete;
    ~RedirectionOff()
    {
        if (off_)
            Wow64RevertWow64FsRedirection(saved_);
    }

private:
    PVOID saved_ = nullptr;
    bool off_;
};

std::wstring SystemFolder(int bits)
{
    wchar_t path[MAX_PATH];
    bool onWindows64 = sizeof(void *) == 8 || IsWow64();
    if (bits == 32 && onWindows64 && GetSystemWow64DirectoryW(path, MAX_PATH))
        return path;
    return GetSystemDirectoryW(path, MAX_PATH) ? path : L"";
}

struct Place {
    std::wstring folder;
    const wchar_t *what;
};

// The folders that LoadLibrary searches before PATH, in its order.
std::vector<Place> FoldersBeforePath(const std::wstring &program, int bits)
{
    wchar_t windows[MAX_PATH] = L"", current[MAX_PATH] = L"";
    GetWindowsDirectoryW(windows, MAX_PATH);
    GetCurrentDirectoryW(MAX_PATH, current);
    return {{FolderOf(program), L"the program's folder"},
            {SystemFolder(bits), L"the system folder"},
            {std::wstring(windows) + L"\\System", L"the 16-bit system folder"},
            {windows, L"the Windows folder"},
            {current, L"the current folder"}};
}

} // namespace

Failure CheckSearchOrder(const std::wstring &program, int programBits, const std::wstring &dll,
                         const std::wstring &name)
{
    RedirectionOff redirection(programBits == 64 && IsWow64());
    for (const Place &place : FoldersBeforePath(program, programBits)) {
        std::wstring path = place.folder + L"\\" + name;
        DWORD attributes = GetFileAttributesW(path.c_str());
        if (place.folder.empty() || attributes == INVALID_FILE_ATTRIBUTES)
            continue;
        if (!(attributes & FILE_ATTRIBUTE_DIRECTORY) && SameBytes(path, dll))
            return {};
        WIN32_FIND_DATAW found;
        UniqueFind find(FindFirstFileW(path.c_str(), &found));
        if (find.valid())
            path = place.folder + L"\\" + found.cFileName; // named as it is there
        return Fail(kExitRunner, ShownPath(path) + L" would be loaded instead of " + ShownPath(dll) +
                                     L": Windows looks in " + place.what +
                                     L" before the PATH. Move that file away (keep it somewhere "
                                     L"safe) or use another --as NAME; mirdu-run changes "
                                     L"nothing there");
    }
    return {};
}

Failure DllPlacement::Place(const std::wstring &dll, const std::wstring &name,
                            ProcessChanges &changes)
{
    wchar_t temp[MAX_PATH];
    if (!GetTempPathW(MAX_PATH, temp))
        return Fail(kExitRunner, L"no folder for temporary files: " +
                                     SystemMessage(GetLastError()));
    for (unsigned n = 0;; n++) {
        std::wstring folder = std::wstring(temp) + L"mirdu-run-" +
                              std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(n);
        if (CreateDirectoryW(folder.c_str(), NULL)) {
            folder_ = folder;
            break;
        }
        if (GetLastError() != ERROR_ALREADY_EXISTS || n > 100)
            return Fail(kExitRunner, L"cannot make a folder for the DLL in " +
                                         std::wstring(temp) + L": " +
                                         SystemMessage(GetLastError()));
    }
    file_ = folder_ + L"\\" + name;
    if (!CopyFileW(dll.c_str(), file_.c_str(), TRUE))
        return Fail(kExitRunner, L"cannot copy " + dll + L" to " + file_ + L": " +
                                     SystemMessage(GetLastError()));
    changes.SetVariable(L"PATH", folder_ + L";" + Variable(L"PATH"));
    return {};
}

void DllPlacement::Remove()
{
    if (folder_.empty())
        return;
    // The program's processes are gone, but the system may hold the file a moment longer.
    for (int attempt = 0; attempt < 50; attempt++) {
        DeleteFileW(file_.c_str());
        if (RemoveDirectoryW(folder_.c_str()) || GetLastError() == ERROR_FILE_NOT_FOUND)
            break;
        Sleep(100);
    }
    folder_.clear();
}
