// The steps of --do and --steps as they are written: a verb and its words, quoted as a POSIX
// shell quotes them (see steps.h for what each does), with the keys of a keys step parsed.
#ifndef MIRDU_RUNNER_STEPPARSE_H
#define MIRDU_RUNNER_STEPPARSE_H

#include <string>
#include <utility>
#include <vector>

#include "runner/contract.h"
#include "runner/keysyntax.h"
#include "runner/report.h"

struct Step {
    // kWindow, kClick, ...: the verbs of the runners' contract, in its order.
#define MIRDU_STEP_ID(id, verb, words) k##id,
    enum Verb { MIRDU_STEP_VERBS(MIRDU_STEP_ID) } verb = kClose;
#undef MIRDU_STEP_ID
    std::vector<std::wstring> args;
    std::vector<KeyStroke> keys; // keys: its TEXT
    double seconds = 0; // within=SECONDS; 0: the runner's default
    std::wstring text;  // as messages show it: click "Erase chip"
    std::wstring wrong; // why a line given while the program runs is no step
};

// Splits a line into words as a POSIX shell does: blanks part words; '...' keeps everything;
// "..." keeps everything but \" \\ \$ \` (escapes); a backslash outside quotes keeps the next
// character. Empty with why when a quote is left open or the line ends in a backslash.
std::vector<std::wstring> SplitWords(const std::wstring &line, std::wstring &why);
// Empty when the line is a step (then in step), else why it is none.
std::wstring ParseStep(const std::wstring &line, Step &step);
// The lines of a --steps file that hold steps, with their line numbers: blank lines and lines
// that start with # are left out. UTF-8, else the ANSI code page.
Failure ReadStepsFile(const std::wstring &path,
                      std::vector<std::pair<unsigned, std::wstring>> &steps);

#endif
