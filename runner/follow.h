// The consoles that the program opens itself. A GUI program gets no console from mirdu-run, so
// the library's AllocConsole opens one at load; a console program that loads the library again
// after an unload (which frees its console) gets a new one the same way.
//
// A process is attached to one console at a time, and attaching replaces its standard handles,
// so a helper process (mirdu-run.exe --follow-console PID) attaches to the program's console,
// reads it as mirdu-run reads its own (ConsoleScreen), types the keys it is given, and sends
// what it read back through a pipe. When the program leaves that console for another, the
// helper reads the first to its end and follows the next.
#ifndef MIRDU_RUNNER_FOLLOW_H
#define MIRDU_RUNNER_FOLLOW_H

#include <windows.h>

#include <string>
#include <vector>

#include "runner/job.h"
#include "runner/report.h"
#include "shell/handle.h"

// Whether process pid is attached to the console that this process is attached to.
bool InThisConsole(DWORD pid);

// The helper's side: follows the consoles of process pid until told to finish. Its exit status.
int FollowConsoles(DWORD pid, bool interactive);

// mirdu-run's side: the helper, started once and told what to do.
class ConsoleFollower {
public:
    ConsoleFollower() = default;
    ConsoleFollower(const ConsoleFollower &) = delete;
    ConsoleFollower &operator=(const ConsoleFollower &) = delete;
    ~ConsoleFollower() { Stop(); }

    // The helper stays hidden and leaves the console on screen with interactive.
    Failure Start(DWORD pid, bool interactive);
    bool started() const { return helper_.process() != NULL; }
    // Whether the program has opened a console of its own so far.
    bool followed() const { return followed_; }
    // Appends the lines read since the last call.
    Failure Read(std::vector<std::string> &lines);
    // Once the program has ended: the rest, and a last line that has no line end yet.
    Failure Finish(std::vector<std::string> &lines, bool &lastHasLineEnd);
    // A key typed in the program's console, as soon as there is one.
    void Type(char key);
    void Stop();

private:
    bool Send(const std::string &command);
    // Takes what the pipe holds, up to a "done" record when untilDone; false when it broke.
    bool Receive(std::vector<std::string> &lines, bool &lastHasLineEnd, bool untilDone);

    ChildJob helper_; // in a job of its own, which ends it with mirdu-run however that ends
    UniqueHandle commands_, records_;
    std::string pending_; // the start of a record not yet complete
    Failure failure_;     // the first the helper reported
    bool followed_ = false, done_ = false;
};

#endif
