// One run: the checks before, the program in the console, the summary after.
#ifndef MIRDU_RUNNER_RUN_H
#define MIRDU_RUNNER_RUN_H

#include "runner/options.h"

// How long mirdu-run.exe --hold-console keeps its console for mirdu-run to join, at most.
const unsigned long kHoldConsoleMs = 30000;

// The exit status of mirdu-run.
int Run(const Options &options);

#endif
