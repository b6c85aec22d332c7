#include "runner/paths.h"

#include <windows.h>

#include "runner/report.h"

namespace {

bool g_linuxPaths = false;

// Wine's own conversions, from its kernel32; absent on Windows.
typedef WCHAR *(CDECL *DosName)(const char *);
typedef char *(CDECL *UnixName)(const WCHAR *);

FARPROC WineCall(const char *name)
{
    return GetProcAddress(GetModuleHandleW(L"kernel32.dll"), name);
}

} // namespace

// A Linux path by the drive that is the Linux root (Z:): the drive that Wine would pick first
// for it may be one that a run maps elsewhere meanwhile (F:), and Wine keeps its own idea of the
// drives for a while.
std::wstring FullPath(const std::wstring &path)
{
    auto dosName = (DosName)(void (*)())WineCall("wine_get_dos_file_name");
    if (!path.empty() && path[0] == L'/' && dosName) {
        std::wstring root;
        if (WCHAR *dos = dosName("/")) {
            root = dos;
            HeapFree(GetProcessHeap(), 0, dos);
        }
        if (!root.empty() && root.back() == L'\\') {
            std::wstring converted = root + path.substr(1);
            for (wchar_t &c : converted)
                c = c == L'/' ? L'\\' : c;
            return converted;
        }
        if (WCHAR *dos = dosName(Utf8(path).c_str())) {
            std::wstring converted = dos;
            HeapFree(GetProcessHeap(), 0, dos);
            return converted;
        }
    }
    wchar_t full[MAX_PATH * 4];
    DWORD size = GetFullPathNameW(path.c_str(), ARRAYSIZE(full), full, NULL);
    return size > 0 && size < ARRAYSIZE(full) ? full : path;
}

void ShowLinuxPaths() { g_linuxPaths = true; }

std::wstring ShownPath(const std::wstring &path)
{
    std::wstring full = FullPath(path);
    auto unixName = (UnixName)(void (*)())WineCall("wine_get_unix_file_name");
    if (!g_linuxPaths || !unixName || path.empty())
        return full;
    char *name = unixName(full.c_str());
    if (!name)
        return full;
    std::wstring shown = FromUtf8(name);
    HeapFree(GetProcessHeap(), 0, name);
    return shown;
}
