// What the program shows on screen: its visible top-level windows, named by their texts.
#ifndef MIRDU_RUNNER_WINDOWS_H
#define MIRDU_RUNNER_WINDOWS_H

#include <windows.h>

#include <string>
#include <vector>

#include "runner/report.h"

// One line per visible top-level window of the job's processes, topmost first, e.g.
//   window "Flash Tool 2.1": "Device not responding (code 0x21)." [OK]
// The title in quotes, then the texts of its visible child controls in order: buttons as [text],
// every other control with a text as "text"; controls without text left out. Empty when none.
// Controls come in their own order (the tab order), which in Wine's message box puts the
// buttons first. Texts are escaped as in C (\" \\ \n \t \uXXXX), so that a window stays on one
// line; a button's text is shown without its & marks; a text longer than 1024 characters is
// cut and ends in "...". A window whose controls do not answer within half a second ends in
// " (not responding)", with the texts it gave until then.
std::vector<std::wstring> DescribeWindows(HANDLE job);

#endif
