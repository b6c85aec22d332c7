// mirdu-run.exe's steps as written: words split as a POSIX shell splits them, and the steps
// that are refused with the reason, before any program runs.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "runner/stepparse.h"

namespace {

using Words = std::vector<std::wstring>;

TEST(StepParse, SplitsWordsAsAShellDoes)
{
    const struct {
        const wchar_t *line;
        Words words;
    } cases[] = {
        {L"  click\tBrowse...  ", {L"click", L"Browse..."}},
        {L"open 'C:\\fw\\a b.bin'", {L"open", L"C:\\fw\\a b.bin"}},
        {L"fill \"Port:\" \"a\\\"b\\\\c\\d\\$\"", {L"fill", L"Port:", L"a\"b\\c\\d$"}},
        {L"wait Done\\ now\\\\", {L"wait", L"Done now\\"}},
        {L"fill #1001 ''", {L"fill", L"#1001", L""}},
        {L"wait x'y z'\"!\"", {L"wait", L"xy z!"}},
    };
    for (const auto &c : cases) {
        std::wstring why;
        EXPECT_EQ(SplitWords(c.line, why), c.words);
        EXPECT_EQ(why, L"");
    }
}

TEST(StepParse, RefusesWhatIsNoStepAndSaysWhy)
{
    const struct {
        const wchar_t *line, *why;
    } cases[] = {
        {L"click \"Erase chip", L"a \" is not closed"},
        {L"open 'x", L"a ' is not closed"},
        {L"wait x\\", L"the line ends in a backslash"},
        {L"within=5", L"no step in it"},
        {L"within=0 close", L"within= wants a number of seconds above 0, not '0'"},
        {L"press OK", L"no step 'press': the steps are window, click, fill, open, answer, wait "
                      L"and close"},
        {L"click Erase chip", L"click wants NAME after it, not 2 words: quote a text that has "
                              L"blanks, as in click \"Erase chip\""},
        {L"fill Port:", L"fill wants NAME TEXT after it, not 1 word"},
        {L"close now", L"close wants nothing after it, not 1 word"},
        {L"answer ''", L"answer: an empty BUTTON names nothing"},
        {L"click #12x", L"#ID wants a number after the #, not '#12x'"},
    };
    for (const auto &c : cases) {
        Step step;
        EXPECT_EQ(ParseStep(c.line, step), c.why);
    }
    Step step;
    ASSERT_EQ(ParseStep(L"within=2.5 fill '#0x3E9' \"C:\\fw\"", step), L"");
    EXPECT_EQ(step.verb, Step::kFill);
    EXPECT_EQ(step.seconds, 2.5);
    EXPECT_EQ(step.text, L"fill \"#0x3E9\" \"C:\\\\fw\"");
}

} // namespace
