// How a program ended, in words: its exit status, or the exception that ended it.
#ifndef MIRDU_RUNNER_ENDING_H
#define MIRDU_RUNNER_ENDING_H

#include <windows.h>

#include <string>

struct Ending {
    int status;
    std::wstring words; // "exit status 2", "crashed: access violation (0xC0000005)"
    bool crashed = false;
    bool own = false;   // the program's own status, not one of mirdu-run's
};

// The ending of a program that ended by itself with that exit code. An unhandled exception
// ends a process with the exception's code: such a code is named for what happened.
Ending ProgramEnding(DWORD code);

#endif
