// The consoles of the program, read from the first it has to the last.
//
// Every program has a console of its own, never mirdu-run's: a console program gets one without
// a window at its start, a GUI program none, and the library opens one at load; a program that
// loads the library again after an unload, which frees its console, gets a new one the same way.
// So one reader serves every program: it attaches to the program's console as soon as there is
// one, reads it, types the keys it is given, and when the program leaves that console for
// another, reads the first to its end and follows the program to the next. Its attachment keeps
// a console alive after the program has gone, so nothing written there is lost to the program's
// end or to its being ended.
//
// A process is attached to one console at a time. Where mirdu-run's own console is the user's
// (a command prompt) it must stay there, for its output and Ctrl+C: the reader then runs in a
// helper process (mirdu-run.exe --follow-console PID) that sends what it reads through a pipe,
// and mirdu-run watches it. Otherwise (started by the Linux runner, a service or a CI agent)
// the reader runs in mirdu-run itself, which saves a process per run.
//
// A console made at a program's start cannot be attached to before the program runs: a program
// that writes and ends within the moment between its console's making and the reader's
// attaching takes its lines with it. That moment is kept short (the reader is ready and polling
// before the program is let run) and is reported when it happens, never passed over.
#ifndef MIRDU_RUNNER_FOLLOW_H
#define MIRDU_RUNNER_FOLLOW_H

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "runner/console.h"
#include "runner/job.h"
#include "runner/report.h"
#include "runner/rows.h"
#include "shell/handle.h"

// Whether process pid is attached to the console that this process is attached to.
bool InThisConsole(DWORD pid);

// The reader itself, in whichever process it runs: it attaches this process to the program's
// consoles in turn.
class ConsoleFollower {
public:
    // process: a handle to the program that can be waited on. interactive: the console's
    // window, if it has one, stays on screen.
    ConsoleFollower(DWORD pid, HANDLE process, bool interactive);
    ConsoleFollower(const ConsoleFollower &) = delete;
    ConsoleFollower &operator=(const ConsoleFollower &) = delete;
    ~ConsoleFollower();

    // Attaches when the program has a console, appends the lines completed since the last
    // call, and follows the program to its next console. Never waits long.
    Failure Poll(std::vector<std::string> &lines);
    // Once the program has ended or was ended: the rest of its last console, with the line the
    // cursor is on. lastHasLineEnd is false when the last line has no line end.
    Failure Finish(std::vector<std::string> &lines, bool &lastHasLineEnd);
    // A key typed in the program's console, as soon as there is one.
    void Type(char key);
    bool attached() const { return attached_; }
    // Whether it was ever in a console of the program's.
    bool followed() const { return followed_; }

private:
    bool Attach();
    void Leave(std::vector<std::string> &lines);
    void Keep(const ReadProblem &problem);

    DWORD pid_;
    HANDLE process_;
    bool interactive_;
    ConsoleBuffer buffer_;
    RowReader reader_;
    UniqueHandle input_;
    std::string keys_;
    bool attached_ = false, followed_ = false, lastHasLineEnd_ = true;
    Failure failure_; // the first problem, kept: reading goes on
};

// The helper's side: follows the consoles of process pid, taking commands on standard input
// and sending what it reads on standard output, until told to finish. Its exit status.
int FollowConsoles(DWORD pid, bool interactive);

// mirdu-run's side: the reader, in this process or in the helper.
class ConsoleReader {
public:
    ConsoleReader() = default;
    ConsoleReader(const ConsoleReader &) = delete;
    ConsoleReader &operator=(const ConsoleReader &) = delete;
    ~ConsoleReader();

    // Gets ready to read the consoles of the program, before it is let run. inHelper: in a
    // helper process, which is running and watching the program when this returns.
    Failure Start(HANDLE process, bool inHelper, bool interactive);
    // Appends the lines read since the last call. A Failure of kExitRunner tells that the
    // reading went wrong but goes on; gone() that the helper has gone.
    Failure Read(std::vector<std::string> &lines);
    // Once the program has ended or was ended: the rest.
    Failure Finish(std::vector<std::string> &lines, bool &lastHasLineEnd);
    void Type(char key);
    // Whether the program had a console that was read.
    bool followed() const;
    // Signalled when the helper ends; NULL when the reader runs here.
    HANDLE helper() const { return helper_.process(); }
    // Why the helper went, once it has (empty while it runs).
    std::wstring HelperGone();

private:
    Failure AwaitReady();
    bool Send(const std::string &command);
    // Takes what the pipe holds, up to a "done" record when untilDone; false when it broke.
    bool Receive(std::vector<std::string> &lines, bool &lastHasLineEnd, bool untilDone);

    std::unique_ptr<ConsoleFollower> local_; // the reader, when it runs here
    ChildJob helper_; // in a job of its own, which ends it with mirdu-run however that ends
    UniqueHandle commands_, records_;
    std::string pending_; // the start of a record not yet complete
    Failure failure_;     // the first the helper reported
    bool followed_ = false, done_ = false;
};

#endif
