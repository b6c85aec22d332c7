// One run: the checks before, the program in the console, the summary after.
#ifndef MIRDU_RUNNER_RUN_H
#define MIRDU_RUNNER_RUN_H

#include "runner/options.h"
#include "runner/scope.h"

// The exit status of mirdu-run. What the run changes in this process is undone with changes.
int Run(const Options &options, ProcessChanges &changes);

#endif
