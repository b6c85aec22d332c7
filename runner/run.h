// One run: the checks before, the program in the console, the summary after.
#ifndef MIRDU_RUNNER_RUN_H
#define MIRDU_RUNNER_RUN_H

#include "runner/options.h"

// The exit status of mirdu-run.
int Run(const Options &options);

#endif
