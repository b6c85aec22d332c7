#include "runner/job.h"

#include <algorithm>
#include <atomic>
#include <cstddef>

#include "runner/console.h"

namespace {

// Quoted so that the program's runtime splits it back into the same arguments.
std::wstring Quote(const std::wstring &arg)
{
    if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos)
        return arg;
    std::wstring quoted = L"\"";
    size_t backslashes = 0;
    for (wchar_t c : arg) {
        if (c == L'\\') {
            backslashes++;
            continue;
        }
        quoted.append(c == L'"' ? 2 * backslashes + 1 : backslashes, L'\\');
        backslashes = 0;
        quoted += c;
    }
    quoted.append(2 * backslashes, L'\\');
    return quoted + L"\"";
}

// A duplicate of the job that a close event ends when the run does not answer in time, behind
// a lock, so that the handler's thread never uses it while it is being closed.
SRWLOCK g_jobLock = SRWLOCK_INIT;
UniqueHandle g_watchedJob;
// Set by Ctrl+C and the console's close; it lives as long as the process, as the handler does.
UniqueHandle g_stopped(CreateEventW(NULL, TRUE, FALSE, NULL));
std::atomic<int> g_stopStatus{0};
UniqueHandle g_cleanedUp(CreateEventW(NULL, TRUE, FALSE, NULL));
// Windows ends a process 5 s after a close event: the run has this long to end its job, name
// the program's windows and put drive F: back.
const DWORD kCloseGrace = 4000;
// A start that failed before any of the program's code ran is tried this often, this far apart.
const int kStartAttempts = 3;
const DWORD kStartRetryMs = 50;

BOOL WINAPI OnConsoleControl(DWORD event)
{
    bool key = event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT;
    int status = key ? kExitInterrupted : kExitConsoleClosed;
    int none = 0;
    g_stopStatus.compare_exchange_strong(none, status);
    SetEvent(g_stopped.get());
    // After a close, logoff or shutdown event the system ends the process once this returns.
    if (!key && WaitForSingleObject(g_cleanedUp.get(), kCloseGrace) != WAIT_OBJECT_0) {
        AcquireSRWLockShared(&g_jobLock);
        if (g_watchedJob.valid())
            TerminateJobObject(g_watchedJob.get(), status);
        ReleaseSRWLockShared(&g_jobLock);
    }
    return TRUE;
}

// The job that a close event ends, or none.
void SetWatchedJob(HANDLE job)
{
    HANDLE copy = NULL;
    if (job)
        DuplicateHandle(GetCurrentProcess(), job, GetCurrentProcess(), &copy, 0, FALSE,
                        DUPLICATE_SAME_ACCESS);
    AcquireSRWLockExclusive(&g_jobLock);
    g_watchedJob.reset(copy);
    ReleaseSRWLockExclusive(&g_jobLock);
}

} // namespace

std::vector<DWORD> JobProcesses(HANDLE job)
{
    const size_t header = offsetof(JOBOBJECT_BASIC_PROCESS_ID_LIST, ProcessIdList);
    std::vector<ULONG_PTR> buffer;
    DWORD room = 32;
    for (;;) {
        buffer.assign(header / sizeof(ULONG_PTR) + room, 0);
        auto list = (JOBOBJECT_BASIC_PROCESS_ID_LIST *)buffer.data();
        BOOL listed = QueryInformationJobObject(job, JobObjectBasicProcessIdList, list,
                                                (DWORD)(buffer.size() * sizeof(ULONG_PTR)), NULL);
        if (!listed && GetLastError() != ERROR_MORE_DATA)
            return {};
        if (listed && list->NumberOfProcessIdsInList >= list->NumberOfAssignedProcesses)
            return std::vector<DWORD>(list->ProcessIdList,
                                      list->ProcessIdList + list->NumberOfProcessIdsInList);
        room = std::max(2 * room, list->NumberOfAssignedProcesses);
    }
}

namespace {

// A console's host, which the program started for a console of its own: it stays until the
// console has been read to its end.
bool IsConsoleHost(DWORD pid)
{
    UniqueHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
    wchar_t path[MAX_PATH * 2];
    DWORD size = ARRAYSIZE(path);
    if (!process.valid() || !QueryFullProcessImageNameW(process.get(), 0, path, &size))
        return false;
    std::wstring name(path, size);
    name = name.substr(name.find_last_of(L"\\/") + 1);
    return lstrcmpiW(name.c_str(), L"conhost.exe") == 0;
}

} // namespace

std::wstring CommandLine(const std::wstring &program, const std::vector<std::wstring> &args)
{
    std::wstring commandLine = Quote(program);
    for (const std::wstring &arg : args)
        commandLine += L" " + Quote(arg);
    return commandLine;
}

std::wstring ThisProgram()
{
    wchar_t self[MAX_PATH * 4];
    return std::wstring(self, GetModuleFileNameW(NULL, self, ARRAYSIZE(self)));
}

namespace {

// A job whose processes end when its last handle closes.
Failure MakeJob(UniqueHandle &job)
{
    job.reset(CreateJobObjectW(NULL, NULL));
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (!job.valid() || !SetInformationJobObject(job.get(), JobObjectExtendedLimitInformation,
                                                 &limits, sizeof limits))
        return Fail(kExitRunner, L"cannot make a job object: " + SystemMessage(GetLastError()));
    return {};
}

// No standard handles given, a program gets its console's own, and each console that it opens
// later gets handles of its own: with standard handles given, a console opened after the
// first was freed would keep the first one's, which go nowhere.
STARTUPINFOW StartupOf(const StandardHandles &handles)
{
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    bool inherit = handles.input || handles.output || handles.error;
    startup.dwFlags = STARTF_USECOUNTCHARS | (inherit ? STARTF_USESTDHANDLES : 0);
    startup.hStdInput = handles.input;
    startup.hStdOutput = handles.output;
    startup.hStdError = handles.error;
    startup.dwXCountChars = kConsoleColumns;
    startup.dwYCountChars = kConsoleRows;
    return startup;
}

// Wine's loader now and then fails to lay out a new process's address space before any of its
// code runs, which CreateProcess reports as an internal error: it is started again. The error
// of the last try, 0 when it started.
DWORD CreateSuspended(const std::wstring &program, std::wstring commandLine,
                      const STARTUPINFOW &startup, DWORD consoleFlags,
                      PROCESS_INFORMATION &started)
{
    STARTUPINFOW info = startup;
    BOOL inherit = (startup.dwFlags & STARTF_USESTDHANDLES) != 0;
    DWORD error = 0;
    for (int attempt = 0; attempt < kStartAttempts; attempt++) {
        if (attempt)
            Sleep(kStartRetryMs);
        if (CreateProcessW(program.c_str(), &commandLine[0], NULL, NULL, inherit,
                           CREATE_SUSPENDED | consoleFlags, NULL, NULL, &info, &started))
            return 0;
        error = GetLastError();
        if (error != ERROR_INTERNAL_ERROR)
            break;
    }
    return error;
}

int StartStatus(DWORD error)
{
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
        return kExitMissing;
    if (error == ERROR_BAD_EXE_FORMAT || error == ERROR_EXE_MACHINE_TYPE_MISMATCH)
        return kExitNotWindows;
    return kExitRunner;
}

} // namespace

Failure ChildJob::Start(const std::wstring &program, const std::vector<std::wstring> &args,
                        const StandardHandles &handles, DWORD consoleFlags)
{
    if (Failure failure = MakeJob(job_))
        return failure;
    PROCESS_INFORMATION started = {};
    if (DWORD error = CreateSuspended(program, CommandLine(program, args), StartupOf(handles),
                                      consoleFlags, started))
        return Fail(StartStatus(error), L"cannot start " + program + L": " + SystemMessage(error));
    process_.reset(started.hProcess);
    thread_.reset(started.hThread);
    if (!AssignProcessToJobObject(job_.get(), process_.get())) {
        DWORD error = GetLastError();
        TerminateProcess(process_.get(), kExitRunner);
        return Fail(kExitRunner, L"cannot put the program into a job object: " +
                                     SystemMessage(error));
    }
    return {};
}

void ChildJob::Resume()
{
    if (thread_.valid())
        ResumeThread(thread_.get());
    thread_.reset();
}

DWORD ChildJob::ExitCode() const
{
    DWORD code = kExitRunner;
    GetExitCodeProcess(process_.get(), &code);
    return code;
}

void ChildJob::EndOnConsoleClose()
{
    SetWatchedJob(job_.get());
    watched_ = true;
}

void ChildJob::EndAll(UINT status, DWORD waitMs)
{
    if (!job_.valid())
        return;
    if (watched_)
        SetWatchedJob(NULL);
    watched_ = false;
    TerminateJobObject(job_.get(), status);
    for (DWORD waited = 0; waited < waitMs; waited += 50) {
        JOBOBJECT_BASIC_ACCOUNTING_INFORMATION accounting = {};
        if (!QueryInformationJobObject(job_.get(), JobObjectBasicAccountingInformation,
                                       &accounting, sizeof accounting, NULL) ||
            accounting.ActiveProcesses == 0)
            break;
        Sleep(50);
    }
    job_.reset();
}

void ChildJob::EndPrograms(UINT status)
{
    if (!job_.valid())
        return;
    for (DWORD pid : JobProcesses(job_.get())) {
        if (IsConsoleHost(pid))
            continue;
        UniqueHandle process(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, pid));
        if (process.valid() && TerminateProcess(process.get(), status))
            WaitForSingleObject(process.get(), 2000);
    }
}

HANDLE WatchConsoleControl()
{
    static bool installed = SetConsoleCtrlHandler(OnConsoleControl, TRUE);
    (void)installed;
    return g_stopped.get();
}

int StopStatus() { return g_stopStatus.load(); }

void CleanedUp() { SetEvent(g_cleanedUp.get()); }
