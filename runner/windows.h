// What the program shows on screen: its visible top-level windows, named by their texts, and a
// picture of them.
#ifndef MIRDU_RUNNER_WINDOWS_H
#define MIRDU_RUNNER_WINDOWS_H

#include <windows.h>

#include <string>
#include <vector>

#include "runner/report.h"

// One line per visible top-level window of the job's processes, topmost first, e.g.
//   window "Flash Tool 2.1": "Device not responding (code 0x21)." [OK]
// The title in quotes, then the texts of its visible child controls in their order, "text",
// then its buttons, [text]; controls without text left out. Empty when none. Texts are
// escaped as in C (\" \\ \n \t \uXXXX), so that a window stays on one line; a button's or a
// label's text is shown without its & marks; a text longer than 1024 characters is
// cut and ends in "...". A window whose controls do not answer within half a second ends in
// " (not responding)", with the texts it gave until then.
std::vector<std::wstring> DescribeWindows(HANDLE job);

// Saves a PNG picture of the job's visible top-level windows as they stand (the screen area
// that holds them all), written with Windows' own image encoder (WIC; Wine has it too), through
// a temporary file beside `path` that replaces it only when complete. Returns a Failure
// (kExitRunner) when the file cannot be written; otherwise {} with `why` empty when written,
// or `why` saying why no picture was written when that is no failure: the program shows no
// window, or nothing is drawn (no display: every pixel alike), in which case no blank picture
// is written. So are windows all minimized or off the screen, and a screen that cannot be read
// (Wine's null graphics driver fails the copy: "the screen cannot be read (no display)").
Failure SaveScreenshot(HANDLE job, const std::wstring &path, std::wstring &why);

#endif
