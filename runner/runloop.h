// One run while the program runs: its console lines to the log, standard output and the
// trace, the closing prompt answered, the keys typed passed on, and how the run ends.
#ifndef MIRDU_RUNNER_RUNLOOP_H
#define MIRDU_RUNNER_RUNLOOP_H

#include <windows.h>

#include <string>
#include <vector>

#include "runner/ending.h"
#include "runner/follow.h"
#include "runner/host.h"
#include "runner/job.h"
#include "runner/keyboard.h"
#include "runner/logline.h"
#include "runner/options.h"
#include "runner/report.h"
#include "runner/steps.h"
#include "runner/trace.h"

// What the session works with, all owned by the run.
struct RunLoopParts {
    const Options &options;
    ConsoleReader &reader; // the program's consoles
    LineSinks &sinks;
    Trace &trace;
    ChildJob &job;
    HANDLE stopped;        // set by Ctrl+C and the close of mirdu-run's console; or NULL
    KeysFromInput *keys;   // keys on standard input, or null
    HostChannel *host;     // the Linux runner's commands, or null
    StepRunner &steps;     // --do and --steps, and those that come later
};

class RunLoop {
public:
    explicit RunLoop(const RunLoopParts &parts) : p_(parts) {}

    // Until the program ends or the run is ended.
    Ending Watch();

    unsigned long long calls() const { return calls_; }
    // The bytes that the program's reads asked for.
    unsigned long long readBack() const { return reader_.readBack(); }
    // The first failure of mirdu-run's own during the run.
    const Failure &failure() const { return failure_; }
    bool pictureTaken() const { return pictureTaken_; }
    const std::wstring &pictureWhy() const { return pictureWhy_; }

private:
    void Keep(const Failure &failure);
    bool Deliver(const std::vector<std::string> &lines, bool lastHasLineEnd, bool answer);
    bool Take(bool atEnd);
    void PassKeys();
    void ReportWindows();
    void TakePicture();
    void Halt(UINT status, bool quick = false);
    bool DoSteps();
    void RecordSteps();
    Ending StepFailed(bool running);
    Ending Ended();
    Ending Stopped(int status);
    Ending StoppedBy(int status, const std::wstring &why);
    bool TakeCommands(Ending &ending);
    Ending HostGone();
    Ending TimedOut();
    Ending ReaderGone();

    RunLoopParts p_;
    LogReader reader_;
    unsigned long long calls_ = 0, prompts_ = 0, keysSent_ = 0;
    Failure failure_;
    std::vector<std::string> stepLines_; // read since the steps were last tried
    bool pictureTaken_ = false;
    std::wstring pictureWhy_; // why the last picture asked for was not taken
};

#endif
