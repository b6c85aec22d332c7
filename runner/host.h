// The channel between mirdu-run.exe and the Linux runner that starts it (--host): commands on
// standard input and events on standard output, each one JSON object a line (json.h). The
// engine decides everything that belongs to a run; the Linux runner answers what only Linux
// knows.
//
// Commands:
//   {"keys": "TEXT"}              keys typed at the Linux runner's terminal (--interactive)
//   {"do": "STEP"}                a step, done after those given before
//   {"stop": STATUS, "why": "WHY"}  end the run, as a stop with that exit status (a signal)
//   {"answer": "TEXT"}            the answer to the last question asked
//   {"run": ["ARG", ...]}         (--serve) a run with these options and program
//   {"quit": true}                (--serve) no more runs
// Input that ends without stop or quit means that the Linux runner has gone: the run ends.
//
// Events: the records of the trace (trace.h), and
//   {"say": "MESSAGE"}          a line of mirdu-run's for standard error; the run's last, its
//                               summary, has "summary": {"calls", "files", "bytes",
//                               "status"}, and "read_back" with --memory
//   {"ask": "QUESTION", ...}    answered with answer: "bits" with "bits": 32 or 64 (why programs
//                               of that machine type cannot run here, empty when they can), and
//                               "drain" (move the staged captures of the run into their folder;
//                               the answer says when it is done)
//   {"ready": true}             (--serve) waiting for the next run
//   {"end": STATUS}             (--serve) the run is over, with its exit status
// Strings are JSON strings of UTF-8 text.
//
// The engine's other channels are its own, not the host's: a menu request to mirdu-hook.dll
// in the program is a fixed layout in shared memory (hook/protocol.h), which a hook of either
// machine type reads with no parser; and the other build's helper that holds such a hook says
// one line, "hooked" or "error WHY" (hooks.h).
#ifndef MIRDU_RUNNER_HOST_H
#define MIRDU_RUNNER_HOST_H

#include <windows.h>

#include <deque>
#include <string>
#include <vector>

#include "runner/json.h"
#include "shell/handle.h"

struct HostCommand {
    std::string verb;
    std::wstring text;             // keys, do, answer, stop
    int status = 0;                // stop
    std::vector<std::wstring> args; // run
};

class HostChannel {
public:
    // The channel of this process, which reads its standard input from when it is first used;
    // null unless mirdu-run.exe was started with --host.
    static HostChannel *Get();
    static void Open();

    // Set when commands came or the input ended.
    HANDLE arrived() const { return arrived_.get(); }
    // The next command, false when none is waiting.
    bool Next(HostCommand &command);
    // Whether the input has ended (after the commands before the end were taken).
    bool ended();
    // Asks the Linux runner and waits up to waitMs for the answer; commands that come meanwhile
    // wait in turn. False when none came.
    bool Ask(const std::string &question, std::wstring &answer, DWORD waitMs,
             const std::string &more = "");
    // Writes one event, a JSON object without its line end.
    void Send(const std::string &event) { SendLines(event + "\n"); }
    // Writes events, each a JSON object ending its line, in one go.
    void SendLines(const std::string &events);

private:
    HostChannel() = default;
    static DWORD WINAPI ReadInput(void *self);
    void Add(const std::string &line);

    UniqueHandle input_, output_, arrived_, thread_;
    CRITICAL_SECTION lock_;
    std::deque<HostCommand> commands_;
    bool ended_ = false;
};

#endif
