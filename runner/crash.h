// A crash of the program ends it at once with its exception's code, with no dialog that waits
// for a click, and is named in the log with where it happened.
//
// On Windows the error mode does it: the program inherits SEM_NOGPFAULTERRORBOX and a crash
// ends it, as error reporting would after its dialog. Wine ignores the error mode and starts
// the debugger that the prefix names (AeDebug), whose default shows a dialog. So under Wine,
// for the run, the prefix's debugger is mirdu-run.exe itself (--crashed PID EVENT REPORTS): it
// attaches to the crashed process, notes the exception and the module it happened in, and ends
// the process with the exception's code. Meanwhile the process is still there, so that the
// lines it wrote just before are read from its console. The prefix's own setting is kept beside
// ours and put back after the run, or by the next run on the prefix after a run that was
// killed.
#ifndef MIRDU_RUNNER_CRASH_H
#define MIRDU_RUNNER_CRASH_H

#include <windows.h>

#include <string>
#include <vector>

// Where a process of the run crashed, as the handler noted it.
struct CrashReport {
    DWORD pid = 0, code = 0;
    std::wstring module; // the module's file name, empty when the address is in none
    unsigned long long offset = 0; // of the address within the module, or the address
};

class CrashHandling {
public:
    CrashHandling() = default;
    CrashHandling(const CrashHandling &) = delete;
    CrashHandling &operator=(const CrashHandling &) = delete;
    ~CrashHandling() { Remove(); }

    // From here on, crashes of programs started by this process end them with their code.
    // reports: a file where, under Wine, the handler notes them.
    void Install(const std::wstring &reports);
    // Puts the prefix's debugger back.
    void Remove();
    // The crashes noted so far.
    std::vector<CrashReport> Reports() const;

private:
    std::wstring reports_;
    bool installed_ = false;
};

// mirdu-run.exe --crashed PID EVENT REPORTS, as the prefix's debugger: its exit status.
int HandleCrash(DWORD pid, HANDLE event, const wchar_t *reports);

// Whether this runs under Wine.
bool UnderWine();

#endif
