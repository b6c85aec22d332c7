#include "runner/job.h"

#include <atomic>

#include "runner/screen.h"

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

// The job that a close event ends when the run does not answer in time, behind a lock, so that
// the handler's thread never uses a handle that EndAll is closing.
SRWLOCK g_jobLock = SRWLOCK_INIT;
HANDLE g_job = NULL;
std::atomic<HANDLE> g_stopped{NULL};
std::atomic<int> g_stopStatus{0};
HANDLE g_cleanedUp = CreateEventW(NULL, TRUE, FALSE, NULL);
// Windows ends a process 5 s after a close event: the run has this long to end its job, name
// the program's windows and put drive F: back.
const DWORD kCloseGrace = 4000;

BOOL WINAPI OnConsoleControl(DWORD event)
{
    bool key = event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT;
    int status = key ? kExitInterrupted : kExitConsoleClosed;
    int none = 0;
    g_stopStatus.compare_exchange_strong(none, status);
    if (HANDLE stopped = g_stopped.load())
        SetEvent(stopped);
    // After a close, logoff or shutdown event the system ends the process once this returns.
    if (!key && WaitForSingleObject(g_cleanedUp, kCloseGrace) != WAIT_OBJECT_0) {
        AcquireSRWLockShared(&g_jobLock);
        if (g_job)
            TerminateJobObject(g_job, status);
        ReleaseSRWLockShared(&g_jobLock);
    }
    return TRUE;
}

void SetWatchedJob(HANDLE job)
{
    AcquireSRWLockExclusive(&g_jobLock);
    g_job = job;
    ReleaseSRWLockExclusive(&g_jobLock);
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

Failure ChildJob::Start(const std::wstring &program, const std::vector<std::wstring> &args,
                        const StandardHandles &handles, bool detached)
{
    job_.reset(CreateJobObjectW(NULL, NULL));
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (!job_.valid() || !SetInformationJobObject(job_.get(), JobObjectExtendedLimitInformation,
                                                  &limits, sizeof limits))
        return Fail(kExitRunner, L"cannot make a job object: " + SystemMessage(GetLastError()));
    std::wstring commandLine = CommandLine(program, args);
    // No standard handles given means none at all for a detached process, and each console
    // that it opens then gets handles of its own: with standard handles given, a console
    // opened after the first was freed would keep the first one's, which go nowhere.
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    bool inherit = handles.input || handles.output || handles.error;
    startup.dwFlags = STARTF_USECOUNTCHARS | (inherit ? STARTF_USESTDHANDLES : 0);
    startup.hStdInput = handles.input;
    startup.hStdOutput = handles.output;
    startup.hStdError = handles.error;
    startup.dwXCountChars = ConsoleScreen::kOpenedColumns;
    startup.dwYCountChars = ConsoleScreen::kOpenedRows;
    DWORD flags = CREATE_SUSPENDED | (detached ? DETACHED_PROCESS : 0);
    PROCESS_INFORMATION started = {};
    if (!CreateProcessW(program.c_str(), &commandLine[0], NULL, NULL, inherit, flags, NULL, NULL,
                        &startup, &started)) {
        DWORD error = GetLastError();
        int status = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND
                         ? kExitMissing
                         : error == ERROR_BAD_EXE_FORMAT || error == ERROR_EXE_MACHINE_TYPE_MISMATCH
                               ? kExitNotWindows
                               : kExitRunner;
        return Fail(status, L"cannot start " + program + L": " + SystemMessage(error));
    }
    process_.reset(started.hProcess);
    UniqueHandle thread(started.hThread);
    if (!AssignProcessToJobObject(job_.get(), process_.get())) {
        DWORD error = GetLastError();
        TerminateProcess(process_.get(), kExitRunner);
        return Fail(kExitRunner, L"cannot put the program into a job object: " +
                                     SystemMessage(error));
    }
    ResumeThread(thread.get());
    return {};
}

DWORD ChildJob::ExitCode() const
{
    DWORD code = kExitRunner;
    GetExitCodeProcess(process_.get(), &code);
    return code;
}

void ChildJob::EndOnConsoleClose() { SetWatchedJob(job_.get()); }

void ChildJob::EndAll(UINT status)
{
    if (!job_.valid())
        return;
    AcquireSRWLockExclusive(&g_jobLock);
    if (g_job == job_.get())
        g_job = NULL;
    ReleaseSRWLockExclusive(&g_jobLock);
    TerminateJobObject(job_.get(), status);
    for (int waited = 0; waited < 200; waited++) {
        JOBOBJECT_BASIC_ACCOUNTING_INFORMATION accounting = {};
        if (!QueryInformationJobObject(job_.get(), JobObjectBasicAccountingInformation,
                                       &accounting, sizeof accounting, NULL) ||
            accounting.ActiveProcesses == 0)
            break;
        Sleep(50);
    }
    job_.reset();
}

void WatchConsoleControl(HANDLE stopped)
{
    g_stopped = stopped;
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);
}

int StopStatus() { return g_stopStatus.load(); }

void CleanedUp() { SetEvent(g_cleanedUp); }
