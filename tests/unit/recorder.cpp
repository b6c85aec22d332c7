// PrintLine for the unit tests: records instead of writing to a console.
#include "tests/unit/recorder.h"

namespace {
std::vector<PrintedText> g_printed;
BOOL g_printResult = 1;
} // namespace

BOOL PrintLine(const char *text)
{
    g_printed.push_back({text, text});
    return g_printResult;
}

std::vector<PrintedText> TakePrinted()
{
    std::vector<PrintedText> printed;
    printed.swap(g_printed);
    return printed;
}

std::vector<std::string> TakeLines()
{
    std::vector<std::string> lines;
    for (const PrintedText &p : TakePrinted())
        lines.push_back(p.text);
    return lines;
}

void SetPrintResult(BOOL result)
{
    g_printResult = result;
}
