// mirdu-run.exe's steps as written: words split as a POSIX shell splits them, the steps that
// are refused with the reason before any program runs, the keys of a keys step, and how menu
// items and paths are named.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "runner/names.h"
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
        {L"press OK", L"no step 'press': the steps are window, click, fill, open, answer, wait, "
                      L"close, menu, keys, select, tab, check and uncheck"},
        {L"click Erase chip", L"click wants NAME after it, not 2 words: quote a text that has "
                              L"blanks, as in click \"Erase chip\""},
        {L"fill Port:", L"fill wants NAME TEXT after it, not 1 word"},
        {L"close now", L"close wants nothing after it, not 1 word"},
        {L"answer ''", L"answer: an empty BUTTON names nothing"},
        {L"click #12x", L"#ID wants a number after the #, not '#12x'"},
        {L"keys Port: abc", L"#ID wants a number after the #, not 'Port:'"},
        {L"tab #1 General Advanced", L"tab wants [#ID] TEXT after it, not 3 words: quote a text "
                                     L"that has blanks, as in click \"Erase chip\""},
        {L"select Device:", L"select wants NAME ITEM after it, not 1 word"},
        {L"select Device: ''", L"select: an empty ITEM names nothing"},
        {L"keys '' x", L"keys: an empty #ID names nothing"},
        {L"check #0x", L"#ID wants a number after the #, not '#0x'"},
        {L"uncheck", L"uncheck wants NAME after it, not 0 words"},
        {L"menu File>>Open", L"menu: an empty level in 'File>>Open' names nothing"},
        {L"menu '>File'", L"menu: an empty level in '>File' names nothing"},
        {L"keys {F25}", L"keys: no key {F25}: the keys are a character, F1 to F24, ENTER, TAB, "
                        L"ESC, SPACE, BACKSPACE, DELETE, INSERT, HOME, END, PGUP, PGDN, UP, "
                        L"DOWN, LEFT, RIGHT, APPSKEY, PRINTSCREEN, PAUSE, BREAK, CAPSLOCK, "
                        L"NUMLOCK and SCROLLLOCK"},
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
    // keys and tab take an #ID before their text, or none.
    ASSERT_EQ(ParseStep(L"keys #1003 ^s", step), L"");
    EXPECT_EQ(step.verb, Step::kKeys);
    EXPECT_EQ(step.args, (Words{L"#1003", L"^s"}));
    ASSERT_EQ(step.keys.size(), 1u);
    EXPECT_TRUE(step.keys[0].ctrl);
    ASSERT_EQ(ParseStep(L"tab 'Advanced'", step), L"");
    EXPECT_EQ(step.args, (Words{L"Advanced"}));
    ASSERT_EQ(ParseStep(L"within=3 select '#0x3E9' 'HKEY_CURRENT_USER>Software'", step), L"");
    EXPECT_EQ(step.verb, Step::kSelect);
}

KeyStroke Char(wchar_t ch, bool ctrl = false, bool alt = false, bool shift = false)
{
    KeyStroke stroke;
    stroke.ch = ch;
    stroke.ctrl = ctrl;
    stroke.alt = alt;
    stroke.shift = shift;
    return stroke;
}

KeyStroke Key(unsigned short key, bool ctrl = false, bool alt = false, bool shift = false)
{
    KeyStroke stroke = Char(0, ctrl, alt, shift);
    stroke.key = key;
    return stroke;
}

TEST(StepParse, ReadsKeysAsSendAndTypeKeysWriteThem)
{
    using Keys = std::vector<KeyStroke>;
    const struct {
        const wchar_t *text;
        Keys keys;
        const wchar_t *shown;
    } cases[] = {
        {L"ab{ENTER}", {Char(L'a'), Char(L'b'), Key(VK_RETURN)}, L"ab{Enter}"},
        {L"^s%f+a", {Char(L's', true), Char(L'f', false, true), Char(L'a', false, false, true)},
         L"{Ctrl+S}{Alt+F}{Shift+A}"},
        {L"^+{F5}", {Key(VK_F5, true, false, true)}, L"{Ctrl+Shift+F5}"},
        {L"{{}{}}{+}{^}{%}{(}{)}", {Char(L'{'), Char(L'}'), Char(L'+'), Char(L'^'), Char(L'%'),
                                    Char(L'('), Char(L')')}, L"{{}}+^%()"},
        {L"{tab 3}{VK_DELETE}{pgdn}", {Key(VK_TAB), Key(VK_TAB), Key(VK_TAB), Key(VK_DELETE),
                                       Key(VK_NEXT)}, L"{Tab}{Tab}{Tab}{Delete}{Pgdn}"},
        {L"+(ab)c", {Char(L'a', false, false, true), Char(L'b', false, false, true), Char(L'c')},
         L"{Shift+A}{Shift+B}c"},
        {L"{x 2}{ENTER 0}y", {Char(L'x'), Char(L'x'), Char(L'y')}, L"xxy"},
        {L"^S", {Char(L'S', true)}, L"{Ctrl+Shift+S}"},
        {L"one\r\ntwo\t", {Char(L'o'), Char(L'n'), Char(L'e'), Key(VK_RETURN), Char(L't'),
                             Char(L'w'), Char(L'o'), Key(VK_TAB)}, L"one{Enter}two{Tab}"},
        {L"\u00e9~!#", {Char(L'\u00e9'), Char(L'~'), Char(L'!'), Char(L'#')}, L"\u00e9~!#"},
    };
    for (const auto &c : cases) {
        Keys keys;
        EXPECT_EQ(ParseKeys(c.text, keys), L"") << c.text;
        EXPECT_TRUE(keys == c.keys) << c.text;
        EXPECT_EQ(ShownKeys(keys), c.shown) << c.text;
    }
    const struct {
        const wchar_t *text, *why;
    } wrong[] = {
        {L"{ENTER", L"a { is not closed: write {{} for a brace"},
        {L"a}", L"a } stands alone: write {}} for the character"},
        {L"(x)", L"a ( stands alone: write {(} for the character"},
        {L"^(ab", L"a ( after a modifier is not closed"},
        {L"^(a^b)", L"a ^ stands alone: write {^} for the character"},
        {L"abc^", L"the keys end in a modifier (^, % or +) that holds no key: write {^}, {%} or "
                  L"{+} for the character"},
        {L"{ENTER x}", L"{ENTER x} wants a count from 0 to 100 after the key, not 'x'"},
        {L"{a 101}", L"{a 101} wants a count from 0 to 100 after the key, not '101'"},
        {L"{TAB 0}", L"no keys in it"},
    };
    for (const auto &c : wrong) {
        Keys keys;
        EXPECT_EQ(ParseKeys(c.text, keys), c.why) << c.text;
    }
}

TEST(StepParse, NamesMenuItemsAsAPersonReadsThem)
{
    const struct {
        const wchar_t *item, *name;
        bool names;
    } cases[] = {
        {L"Save &as...", L"Save As...", true},
        {L"Save &as...", L"save as", true},
        {L"&Open...\tCtrl+O", L"Open", true},
        {L"&Open...\tCtrl+O", L"Open...\tCtrl+O", false},
        {L"E&xit", L"Exit", true},
        {L"&Print\u2026", L"print", true},
        {L"Print &&Preview", L"Print &Preview", true},
        {L"Printer", L"Print", false},
        {L"Page Set&up...", L"Page Setup..", false},
    };
    for (const auto &c : cases)
        EXPECT_EQ(NamesMenuItem(c.item, c.name), c.names) << c.item << L" / " << c.name;
    EXPECT_EQ(MenuItemShown(L"&Save\tCtrl+S"), L"Save");
    EXPECT_EQ(PathLevels(L"File>Save As..."), (Words{L"File", L"Save As..."}));
    EXPECT_EQ(PathLevels(L"HKEY_CURRENT_USER"), (Words{L"HKEY_CURRENT_USER"}));
}

} // namespace
