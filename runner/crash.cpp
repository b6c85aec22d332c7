#include "runner/crash.h"

#include <cstdio>
#include <map>

#include "runner/job.h"
#include "runner/report.h"
#include "runner/owners.h"

namespace {

const wchar_t kAeDebug[] = L"Software\\Microsoft\\Windows NT\\CurrentVersion\\AeDebug";
const wchar_t kSavedPrefix[] = L"mirdu-run saved ";
const wchar_t *const kValues[] = {L"Debugger", L"Auto"};
// The prefix's two registry views: 64-bit programs read one, 32-bit programs the other.
const REGSAM kViews[] = {KEY_WOW64_64KEY, KEY_WOW64_32KEY};

bool ReadValue(HKEY key, const std::wstring &name, DWORD &type, std::wstring &text)
{
    wchar_t data[1024];
    DWORD size = sizeof data - sizeof(wchar_t);
    if (RegQueryValueExW(key, name.c_str(), NULL, &type, (BYTE *)data, &size) != ERROR_SUCCESS)
        return false;
    data[size / sizeof(wchar_t)] = 0;
    text = data;
    return true;
}

void WriteValue(HKEY key, const std::wstring &name, DWORD type, const std::wstring &text)
{
    RegSetValueExW(key, name.c_str(), 0, type, (const BYTE *)text.c_str(),
                   (DWORD)((text.size() + 1) * sizeof(wchar_t)));
}

// The mirdu-run.exe of a view's machine type, which can attach to its programs: this one, or
// the other build's beside it (..\win32, ..\win64).
std::wstring HandlerFor(REGSAM view)
{
    std::wstring self = ThisProgram();
    bool self64 = sizeof(void *) == 8;
    if ((view == KEY_WOW64_64KEY) == self64)
        return self;
    std::wstring folder = self.substr(0, self.find_last_of(L'\\'));
    std::wstring other = folder.substr(0, folder.find_last_of(L'\\') + 1) +
                         (self64 ? L"win32" : L"win64") + L"\\mirdu-run.exe";
    return GetFileAttributesW(other.c_str()) == INVALID_FILE_ATTRIBUTES ? self : other;
}

std::wstring FileName(HANDLE file)
{
    wchar_t path[MAX_PATH * 2];
    DWORD size = file ? GetFinalPathNameByHandleW(file, path, ARRAYSIZE(path), 0) : 0;
    if (!size || size >= ARRAYSIZE(path))
        return L"";
    std::wstring name(path, size);
    return name.substr(name.find_last_of(L"\\/") + 1);
}

struct Module {
    std::wstring name;
    unsigned long long size = 0;
};

// The size of the image at base, from its headers.
unsigned long long ImageSize(HANDLE process, ULONG_PTR base)
{
    IMAGE_DOS_HEADER dos;
    DWORD size = 0;
    SIZE_T read = 0;
    const size_t sizeAt = 4 + sizeof(IMAGE_FILE_HEADER) + 56; // SizeOfImage, in both headers
    if (!ReadProcessMemory(process, (void *)base, &dos, sizeof dos, &read) ||
        dos.e_magic != IMAGE_DOS_SIGNATURE ||
        !ReadProcessMemory(process, (void *)(base + dos.e_lfanew + sizeAt), &size, sizeof size,
                           &read))
        return 0;
    return size;
}

void Note(const CrashReport &crash, const wchar_t *reports)
{
    UniqueHandle file(CreateFileW(reports, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  NULL, OPEN_ALWAYS, 0, NULL));
    char line[600];
    int size = snprintf(line, sizeof line, "%lu %08lX %llX %s\n", (unsigned long)crash.pid,
                        (unsigned long)crash.code, crash.offset, Utf8(crash.module).c_str());
    DWORD written;
    if (file.valid() && size > 0 && size < (int)sizeof line)
        WriteFile(file.get(), line, size, &written, NULL);
}

} // namespace

bool UnderWine()
{
    return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != NULL;
}

void CrashHandling::Install(const std::wstring &reports)
{
    SetErrorMode(GetErrorMode() | SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
    if (!UnderWine())
        return;
    reports_ = reports;
    DeleteFileW(reports.c_str());
    for (REGSAM view : kViews) {
        UniqueKey key;
        if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, kAeDebug, 0, NULL, 0,
                            KEY_QUERY_VALUE | KEY_SET_VALUE | view, NULL, key.put(), NULL) !=
            ERROR_SUCCESS)
            continue;
        // The prefix's setting is saved once: a run that was killed left ours in place, and
        // the saved one stays the prefix's.
        DWORD type;
        std::wstring text;
        if (!ReadValue(key.get(), std::wstring(kSavedPrefix) + kValues[0], type, text))
            for (const wchar_t *name : kValues) {
                bool present = ReadValue(key.get(), name, type, text);
                WriteValue(key.get(), kSavedPrefix + std::wstring(name), present ? type : REG_NONE,
                           present ? text : L"");
            }
        // The report's path is in the command: Wine hands the debugger a damaged copy of the
        // crashed process's environment.
        WriteValue(key.get(), kValues[0], REG_SZ,
                   L"\"" + HandlerFor(view) + L"\" --crashed %ld %ld \"" + reports + L"\"");
        WriteValue(key.get(), kValues[1], REG_SZ, L"1");
    }
    installed_ = true;
}

void CrashHandling::Remove()
{
    if (!reports_.empty())
        DeleteFileW(reports_.c_str());
    if (!installed_)
        return;
    installed_ = false;
    for (REGSAM view : kViews) {
        UniqueKey key;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kAeDebug, 0, KEY_QUERY_VALUE | KEY_SET_VALUE | view,
                          key.put()) != ERROR_SUCCESS)
            continue;
        for (const wchar_t *name : kValues) {
            std::wstring saved = kSavedPrefix + std::wstring(name), text;
            DWORD type;
            if (!ReadValue(key.get(), saved, type, text))
                continue;
            if (type == REG_NONE)
                RegDeleteValueW(key.get(), name);
            else
                WriteValue(key.get(), name, type, text);
            RegDeleteValueW(key.get(), saved.c_str());
        }
    }
}

std::vector<CrashReport> CrashHandling::Reports() const
{
    std::vector<CrashReport> reports;
    UniqueHandle file(reports_.empty() ? INVALID_HANDLE_VALUE
                                       : CreateFileW(reports_.c_str(), GENERIC_READ,
                                                     FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                                                     OPEN_EXISTING, 0, NULL));
    char text[8192];
    DWORD read = 0;
    if (!file.valid() || !ReadFile(file.get(), text, sizeof text - 1, &read, NULL))
        return reports;
    text[read] = 0;
    for (char *line = text; *line;) {
        char *end = strchr(line, '\n');
        if (!end)
            break;
        *end = 0;
        unsigned long pid, code;
        unsigned long long offset;
        int used = 0;
        if (sscanf(line, "%lu %lX %llX %n", &pid, &code, &offset, &used) == 3) {
            CrashReport report;
            report.pid = pid;
            report.code = code;
            report.offset = offset;
            report.module = FromUtf8(line + used);
            reports.push_back(report);
        }
        line = end + 1;
    }
    return reports;
}

namespace {

// The debugger's view of the crashed process: its modules, so that a crash can be placed.
class CrashWatch {
public:
    CrashWatch(DWORD pid, HANDLE event, const wchar_t *reports)
        : pid_(pid), event_(event), reports_(reports)
    {
    }
    // How to go on after the event: DBG_CONTINUE or DBG_EXCEPTION_NOT_HANDLED.
    DWORD Take(const DEBUG_EVENT &event);

private:
    // The debugger is given the file of each image it is told of, for it to close.
    void AddModule(HANDLE file, void *base)
    {
        UniqueHandle owned(file);
        modules_[(ULONG_PTR)base] = {FileName(file), ImageSize(process_, (ULONG_PTR)base)};
    }
    DWORD OnException(const EXCEPTION_DEBUG_INFO &exception);
    void Report(const EXCEPTION_RECORD &record);

    DWORD pid_;
    HANDLE event_;
    const wchar_t *reports_;
    std::map<ULONG_PTR, Module> modules_;
    HANDLE process_ = NULL; // the debugger's, closed by the system
    bool released_ = false;
};

DWORD CrashWatch::Take(const DEBUG_EVENT &event)
{
    switch (event.dwDebugEventCode) {
    case CREATE_PROCESS_DEBUG_EVENT:
        process_ = event.u.CreateProcessInfo.hProcess;
        AddModule(event.u.CreateProcessInfo.hFile, event.u.CreateProcessInfo.lpBaseOfImage);
        break;
    case LOAD_DLL_DEBUG_EVENT:
        AddModule(event.u.LoadDll.hFile, event.u.LoadDll.lpBaseOfDll);
        break;
    case EXCEPTION_DEBUG_EVENT:
        return OnException(event.u.Exception);
    }
    return DBG_CONTINUE;
}

DWORD CrashWatch::OnException(const EXCEPTION_DEBUG_INFO &exception)
{
    const EXCEPTION_RECORD &record = exception.ExceptionRecord;
    if (!released_ && record.ExceptionCode == EXCEPTION_BREAKPOINT) {
        SetEvent(event_); // the break-in of the attaching: the crash comes next
        released_ = true;
    } else if (exception.dwFirstChance) {
        return DBG_EXCEPTION_NOT_HANDLED; // the program's own, for its handlers
    } else {
        Report(record);
        TerminateProcess(process_, record.ExceptionCode);
    }
    return DBG_CONTINUE;
}

void CrashWatch::Report(const EXCEPTION_RECORD &record)
{
    CrashReport crash;
    crash.pid = pid_;
    crash.code = record.ExceptionCode;
    ULONG_PTR address = (ULONG_PTR)record.ExceptionAddress;
    crash.offset = address;
    auto module = modules_.upper_bound(address);
    if (module != modules_.begin() && address < (--module)->first + module->second.size) {
        crash.module = module->second.name;
        crash.offset = address - module->first;
    }
    Note(crash, reports_);
}

} // namespace

// As a debugger: the crashed process waits until the debugger has attached, and is then told
// to go on, which hands its exception to the debugger again, as the last chance. Where the
// attaching fails, the process goes on without one and ends with its exception's code.
int HandleCrash(DWORD pid, HANDLE event, const wchar_t *reports)
{
    if (!DebugActiveProcess(pid)) {
        SetEvent(event);
        return 0;
    }
    DebugSetProcessKillOnExit(FALSE);
    CrashWatch watch(pid, event, reports);
    DEBUG_EVENT ev;
    while (WaitForDebugEvent(&ev, 30000)) {
        if (ev.dwDebugEventCode == EXIT_PROCESS_DEBUG_EVENT) {
            ContinueDebugEvent(ev.dwProcessId, ev.dwThreadId, DBG_CONTINUE);
            return 0;
        }
        ContinueDebugEvent(ev.dwProcessId, ev.dwThreadId, watch.Take(ev));
    }
    return 1;
}
