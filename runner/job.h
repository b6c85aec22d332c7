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
    ~ChildJob() { EndAll(kExitRunner, 2000); }

    // Starts the program, suspended, in a new job that ends with this object. consoleFlags:
    // CREATE_NO_WINDOW for a console of its own without a window, DETACHED_PROCESS for none at
    // all. Every console it has gets a buffer as big as the reader wants from the start.
    Failure Start(const std::wstring &program, const std::vector<std::wstring> &args,
                  const StandardHandles &handles, DWORD consoleFlags);
    // Lets it run.
    void Resume();
    HANDLE process() const { return process_.get(); }
    HANDLE job() const { return job_.get(); }
    DWORD ExitCode() const;
    // From here on a close event that the run does not answer in time ends the job.
    void EndOnConsoleClose();
    // Ends the processes of the job but the hosts of their consoles, which go with the job: a
    // console is read to its end after the program has gone, and goes when its host does.
    void EndPrograms(UINT status);
    // Ends every process of the job and waits up to waitMs until they are gone.
    void EndAll(UINT status, DWORD waitMs = 10000);

private:
    UniqueHandle job_, process_, thread_;
    bool watched_ = false; // by the console's close event
};

// The processes in a job, by id.
std::vector<DWORD> JobProcesses(HANDLE job);

// The path of mirdu-run.exe, which starts itself as a helper.
std::wstring ThisProgram();

// A program's command line, quoted so that its runtime splits it back into the same arguments.
std::wstring CommandLine(const std::wstring &program, const std::vector<std::wstring> &args);

// From here on Ctrl+C, Ctrl+Break and closing the console set the event returned, which lives
// as long as the process.
HANDLE WatchConsoleControl();
// 0 while no such event came, else the exit status for it (130: Ctrl+C, 129: closed).
int StopStatus();
// Tells a close event's handler that the run has cleaned up and the process may go.
void CleanedUp();

#endif
