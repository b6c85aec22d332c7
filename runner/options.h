// The command line of mirdu-run.exe, the same as that of the Linux runner where Windows allows.
#ifndef MIRDU_RUNNER_OPTIONS_H
#define MIRDU_RUNNER_OPTIONS_H

#include <string>
#include <vector>

#include "runner/scope.h"

struct Options {
    std::wstring captures; // empty: F: must exist already
    std::wstring log;
    std::wstring image;    // empty: none
    std::wstring screenshot; // empty: none
    std::wstring trace;    // empty: none
    std::wstring dll;      // empty: the mirdu.dll beside mirdu-run.exe
    std::wstring name = L"mirdu.dll";
    std::wstring program;
    std::vector<std::wstring> args;
    double timeout = 0;    // seconds; 0: none
    std::vector<std::wstring> steps; // of --do and --steps, in order, each checked
    double stepTimeout = 60;         // seconds
    bool memory = false;   // reads answer from a device memory of the run
    std::vector<std::wstring> preloads; // --preload, in order, each checked
    bool interactive = false;
    bool host = false;     // run by the Linux runner, which says the summary itself and
                           // whose pipe on standard input ends the run when it closes
};

enum ParseResult { kParsed, kHelpShown, kBadOptions };

// --cwd changes the current folder, until changes are undone.
ParseResult ParseOptions(int argc, wchar_t **argv, Options &options, ProcessChanges &changes);

#endif
