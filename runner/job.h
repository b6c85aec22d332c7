// The program, started in a job object so that ending the job ends everything it started;
// and the console's Ctrl+C and close events, which stop the run.
#ifndef MIRDU_RUNNER_JOB_H
#define MIRDU_RUNNER_JOB_H

#include <windows.h>

#include <string>
#include <vector>

#include "runner/report.h"
#include "shell/handle.h"

// The standard handles a process starts with; NULL for none.
struct StandardHandles {
    HANDLE input = NULL, output = NULL, error = NULL;
};

class ChildJob {
public:
    ChildJob() = default;
    ChildJob(const ChildJob &) = delete;
    ChildJob &operator=(const ChildJob &) = delete;
    ~ChildJob() { EndAll(kExitRunner); }

    // Starts the program in a new job that ends with this object. detached: with no console at
    // all, as Windows starts a GUI program whatever its parent has (Wine would hand it this
    // one's). A console that the program opens later gets a buffer as big as mirdu-run reads.
    Failure Start(const std::wstring &program, const std::vector<std::wstring> &args,
                  const StandardHandles &handles, bool detached);
    HANDLE process() const { return process_.get(); }
    HANDLE job() const { return job_.get(); }
    DWORD ExitCode() const;
    // From here on a close event that the run does not answer in time ends the job.
    void EndOnConsoleClose();
    // Ends every process of the job and waits (a while) until they are gone.
    void EndAll(UINT status);

private:
    UniqueHandle job_, process_;
};

// The path of mirdu-run.exe, which starts itself as a helper.
std::wstring ThisProgram();

// A program's command line, quoted so that its runtime splits it back into the same arguments.
std::wstring CommandLine(const std::wstring &program, const std::vector<std::wstring> &args);

// From here on Ctrl+C, Ctrl+Break and closing the console set the event.
void WatchConsoleControl(HANDLE stopped);
// 0 while no such event came, else the exit status for it (130: Ctrl+C, 129: closed).
int StopStatus();
// Tells a close event's handler that the run has cleaned up and the process may go.
void CleanedUp();

#endif
