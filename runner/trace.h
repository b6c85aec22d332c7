// --trace FILE: the run as JSON Lines, one object for each line of the console and for each
// event of the run, written as it comes, for test code to read:
//   {"t": 0.512, "line": "KVTWrite : buf = 0071FBD0, addr = 00001000, len = 00000100",
//    "call": "KVTWrite", "args": {"buf": "0071FBD0", "addr": "00001000", "len": "00000100"},
//    "capture": "0000-kvtwrite-00001000.bin"}
// t: seconds since the program started, when mirdu-run read the line; open: true on a last line
// that has no line end; event: one of the kinds of tools/mirdu/contract.py (EVENTS): banner,
// prompt, error (a capture error line), key (mirdu-run answered the prompt), window (a window
// named at the end), step (a step of --do or --steps finished), captures (the capture files
// the run wrote) and exit (the last: the status and how the run ended).
#ifndef MIRDU_RUNNER_TRACE_H
#define MIRDU_RUNNER_TRACE_H

#include <windows.h>

#include <string>
#include <vector>

#include "runner/logline.h"
#include "runner/report.h"
#include "runner/steps.h"
#include "shell/handle.h"

class Trace {
public:
    Failure Open(const std::wstring &path);
    // From now on t counts.
    void Start();
    void Lines(const std::vector<std::string> &lines, const std::vector<LogLine> &parsed,
               bool lastHasLineEnd);
    void Key();
    void Window(const std::wstring &line);
    // {"event": "step", "step": 3, "text": "click \"Write\"", "ok": true, "seconds": 0.051,
    //  "control": {"class": "Button", "id": 1004, "text": "&Write"}}, with "item" (a menu's
    // {"text": "File>Save As...", "id": 259}, the item selected or the tab shown with its
    // "index"), "checked" and "changed" (check, uncheck), "keys" (the keys typed), "box" (the
    // message box answered), "found" (the console line a wait found) and "why" (a failure)
    // where so.
    void Step(const StepResult &step);
    // The capture files the run wrote: {"event": "captures", "files": [{"name": ..., "size":
    // ...}, ...]}, in the order of their numbers.
    void Captures(const std::vector<std::pair<std::wstring, unsigned long long>> &files);
    // own: the status is the program's own, not one of mirdu-run's; readBack: with a device
    // memory (--memory), the bytes the reads asked for, as "memory": {"read_back": N}; else -1.
    void Exit(int status, const std::wstring &ended, bool own, long long readBack = -1);

private:
    std::string Begin() const;
    void Write(const std::string &records);

    UniqueHandle file_;
    LARGE_INTEGER start_ = {}, frequency_ = {};
};

#endif
