// A recording stand-in for the console writer: the unit tests link it in place of the real
// PrintLine, so that every text the library prints can be examined, and so that the result
// of the console write can be chosen.
#ifndef MIRDU_TESTS_UNIT_RECORDER_H
#define MIRDU_TESTS_UNIT_RECORDER_H

#include <string>
#include <vector>

#include "shell/log.h"

struct PrintedText {
    const char *pointer; // what PrintLine was handed
    std::string text;    // what it pointed at then
};

// Everything handed to PrintLine since the last call, oldest first; forgets it.
std::vector<PrintedText> TakePrinted();

// The same, texts only.
std::vector<std::string> TakeLines();

// What PrintLine answers from now on: nonzero for "written", 0 for "not written".
void SetPrintResult(BOOL result);

#endif
