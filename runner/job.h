// The program, started in a job object so that ending the job ends everything it started;
// and the console's Ctrl+C and close events, which end the job too.
#ifndef MIRDU_RUNNER_JOB_H
#define MIRDU_RUNNER_JOB_H

#include <windows.h>

#include <string>
#include <vector>

#include "runner/report.h"
#include "shell/handle.h"

class ChildJob {
public:
    ChildJob() = default;
    ChildJob(const ChildJob &) = delete;
    ChildJob &operator=(const ChildJob &) = delete;
    ~ChildJob() { EndAll(kExitRunner); }

    // Starts the program with the console as its standard input, output and error.
    Failure Start(const std::wstring &program, const std::vector<std::wstring> &args,
                  HANDLE input, HANDLE output);
    HANDLE process() const { return process_.get(); }
    DWORD ExitCode() const;
    // Ends every process of the job and waits (a while) until they are gone.
    void EndAll(UINT status);

private:
    UniqueHandle job_, process_;
};

// From here on Ctrl+C, Ctrl+Break and closing the console end the job; the event is set then.
void WatchConsoleControl(HANDLE stopped);
// 0 while no such event came, else the exit status for it (130: Ctrl+C, 129: closed).
int StopStatus();
// Tells a close event's handler that the run has cleaned up and the process may go.
void CleanedUp();

#endif
