// What mirdu-run says (standard error) and where the console's lines go (standard output
// unless that is the console itself, and the log).
#ifndef MIRDU_RUNNER_REPORT_H
#define MIRDU_RUNNER_REPORT_H

#include <windows.h>

#include <string>
#include <vector>

#include "runner/contract.h" // the exit statuses, shared with the Linux runner
#include "shell/handle.h"


// A refusal or failure of the runner: its exit status and what to tell. Status 0: none.
struct Failure {
    int status = 0;
    std::wstring message;
    explicit operator bool() const { return status != 0; }
};

inline Failure Fail(int status, const std::wstring &message) { return Failure{status, message}; }

void WriteError(const std::wstring &text);
void WriteOutput(const std::wstring &text);
// "mirdu-run: MESSAGE" on a line of standard error.
void Say(const std::wstring &message);

std::wstring Plural(unsigned long long count, const wchar_t *word);
// An address as the device has it: at least 8 hexadecimal digits, "0000ABCD".
std::wstring Hex8(unsigned long long value);
std::wstring Widen(const std::string &text);
std::string Utf8(const std::wstring &text);
std::wstring FromUtf8(const std::string &text);
std::wstring SystemMessage(DWORD error);

// A file that the run writes as it goes (the log, the trace), made anew; what names it.
Failure CreateRunFile(const std::wstring &path, const wchar_t *what, UniqueHandle &file);

// Whether a standard handle is a console (then text goes to it with WriteConsoleW).
bool IsConsole(HANDLE handle);

// The sinks of the console's lines: each line goes out with "\n" as it was on the console.
class LineSinks {
public:
    Failure OpenLog(const std::wstring &path);
    // Standard output gets the lines too unless it is the console that they are read from.
    void EchoToStandardOutput(bool echo) { echo_ = echo; }
    void Write(const std::vector<std::string> &lines, bool lastHasLineEnd = true);
    // A message of mirdu-run's, for the log alone, as standard error would show it.
    void Note(const std::wstring &message);
    // A message of mirdu-run's, said (Say) and noted in the log.
    void Tell(const std::wstring &message);

private:
    UniqueHandle log_;
    bool echo_ = false;
    bool outputGone_ = false;
};

#endif
