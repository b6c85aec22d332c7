// Which key press ends the wait at unload. The keys that should end it are written out here
// class by class, by scan code, and compared with the decision over the whole key table.
#include <gtest/gtest.h>

#include <set>
#include <sstream>
#include <vector>

#include "shell/keywait.h"

namespace {

std::string Hex(DWORD value)
{
    std::ostringstream out;
    out << "0x" << std::hex << std::uppercase << value;
    return out.str();
}

// A set of scan codes that prints itself whole, in hexadecimal.
struct ScanCodes : std::set<int> {
    using std::set<int>::set;
};

void PrintTo(const ScanCodes &codes, std::ostream *out)
{
    *out << "{";
    for (int code : codes)
        *out << " " << Hex(code);
    *out << " }";
}

std::string Difference(const ScanCodes &got, const ScanCodes &want)
{
    ScanCodes extra, missing;
    for (int code : got)
        if (!want.count(code))
            extra.insert(code);
    for (int code : want)
        if (!got.count(code))
            missing.insert(code);
    std::ostringstream out;
    out << "ending the wait but should not: ";
    PrintTo(extra, &out);
    out << "; should end it but do not: ";
    PrintTo(missing, &out);
    return out.str();
}

enum Column { kNone, kShift, kCtrl, kAlt };
const char *const kColumnNames[] = {"no modifier", "Shift", "Ctrl", "Alt"};

// Scan codes of the keys, by class.
const ScanCodes kFunctionKeys = {0x3B, 0x3C, 0x3D, 0x3E, 0x3F, 0x40, // F1 to F6
                                 0x41, 0x42, 0x43, 0x44, 0x57, 0x58}; // F7 to F12
// Keypad with Num Lock off: Home, Up, PgUp, Left, Right, End, Down, PgDn, Ins, Del.
const ScanCodes kKeypadCursorKeys = {0x47, 0x48, 0x49, 0x4B, 0x4D, 0x4F, 0x50, 0x51, 0x52, 0x53};
const ScanCodes kDigits = {0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0A, 0x0B}; // 1 to 0
const ScanCodes kLetters = {0x10, 0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17, 0x18, 0x19, // Q to P
                            0x1E, 0x1F, 0x20, 0x21, 0x22, 0x23, 0x24, 0x25, 0x26,       // A to L
                            0x2C, 0x2D, 0x2E, 0x2F, 0x30, 0x31, 0x32};                  // Z to M
// Main-block punctuation but backslash: - = [ ] ; ' ` , . /
const ScanCodes kPunctuation = {0x0C, 0x0D, 0x1A, 0x1B, 0x27, 0x28, 0x29, 0x33, 0x34, 0x35};
const int kEscape = 0x01, kBackspace = 0x0E, kTab = 0x0F, kEnter = 0x1C, kTwo = 0x03;

// The twelve keys that the console flags as enhanced and that end the wait: keypad Enter,
// keypad slash and the grey cursor and editing block.
const ScanCodes kEnhancedEnders = {28, 53, 71, 72, 73, 75, 77, 79, 80, 81, 82, 83};

// Keys without a character that end the wait, by the column of the key table in use.
ScanCodes Expected(Column column)
{
    ScanCodes keys = kFunctionKeys;
    auto add = [&keys](const ScanCodes &more) { keys.insert(more.begin(), more.end()); };
    switch (column) {
    case kNone:
        add(kKeypadCursorKeys);
        break;
    case kShift:
        add({kTab});
        break;
    case kCtrl:
        add(kKeypadCursorKeys);
        add({kTab, kTwo});
        break;
    case kAlt:
        add({kEscape, kBackspace, kTab, kEnter});
        add(kDigits);
        add(kLetters);
        add(kPunctuation);
        break;
    }
    return keys;
}

KEY_EVENT_RECORD Key(bool down, WORD scanCode, DWORD state, unsigned char ch = 0)
{
    KEY_EVENT_RECORD key = {};
    key.bKeyDown = down;
    key.wRepeatCount = 1;
    key.wVirtualScanCode = scanCode;
    key.uChar.AsciiChar = static_cast<CHAR>(ch);
    key.dwControlKeyState = state;
    return key;
}

// The scan codes in [first, last] whose key-down without a character ends the wait.
ScanCodes Enders(DWORD state, int first = 0, int last = 88)
{
    ScanCodes enders;
    for (int scan = first; scan <= last; ++scan)
        if (KeyEndsWait(Key(true, static_cast<WORD>(scan), state)))
            enders.insert(scan);
    return enders;
}

// Every combination of held modifiers, left and right counted apart.
std::vector<DWORD> ModifierStates()
{
    const DWORD keys[] = {LEFT_ALT_PRESSED, RIGHT_ALT_PRESSED, LEFT_CTRL_PRESSED,
                          RIGHT_CTRL_PRESSED, SHIFT_PRESSED};
    std::vector<DWORD> states;
    for (unsigned mask = 0; mask < 32; ++mask) {
        DWORD state = 0;
        for (unsigned bit = 0; bit < 5; ++bit)
            if (mask & (1u << bit))
                state |= keys[bit];
        states.push_back(state);
    }
    return states;
}

const DWORD kLocks = CAPSLOCK_ON | NUMLOCK_ON | SCROLLLOCK_ON;

TEST(KeyTable, EachColumnEndsTheWaitOnExactlyItsKeys)
{
    const DWORD single[] = {0, SHIFT_PRESSED, LEFT_CTRL_PRESSED, LEFT_ALT_PRESSED};
    for (int column = kNone; column <= kAlt; ++column) {
        const ScanCodes got = Enders(single[column]), want = Expected(Column(column));
        EXPECT_EQ(got, want) << kColumnNames[column] << " column, " << Difference(got, want);
    }
}

TEST(KeyTable, ModifiersChooseTheColumnAltBeforeCtrlBeforeShift)
{
    // Lock states are not modifiers: they never change the column.
    for (DWORD locks : {DWORD(0), kLocks})
        for (DWORD state : ModifierStates()) {
            const Column column =
                (state & (LEFT_ALT_PRESSED | RIGHT_ALT_PRESSED))     ? kAlt
                : (state & (LEFT_CTRL_PRESSED | RIGHT_CTRL_PRESSED)) ? kCtrl
                : (state & SHIFT_PRESSED)                            ? kShift
                                                                     : kNone;
            const ScanCodes got = Enders(state | locks), want = Expected(column);
            EXPECT_EQ(got, want) << "control key state " << Hex(state | locks)
                                 << " should use the " << kColumnNames[column] << " column, "
                                 << Difference(got, want);
        }
}

TEST(KeyTable, KeysBeyondTheTableWithoutCharacterAreSkipped)
{
    for (DWORD state : {DWORD(0), DWORD(SHIFT_PRESSED), DWORD(LEFT_CTRL_PRESSED),
                        DWORD(LEFT_ALT_PRESSED), kLocks})
        EXPECT_EQ(Enders(state, 89, 0xFFFF), ScanCodes{}) << "state " << Hex(state);
}

TEST(EnhancedKeys, TwelveEndTheWaitWhateverModifiersAreHeld)
{
    for (DWORD locks : {DWORD(0), kLocks})
        for (DWORD state : ModifierStates()) {
            const ScanCodes got = Enders(state | locks | ENHANCED_KEY, 0, 0x1FF);
            EXPECT_EQ(got, kEnhancedEnders)
                << "state " << Hex(state | locks) << ", " << Difference(got, kEnhancedEnders);
        }
}

// Keys that never end the wait on their own, with the state the key itself sets.
struct LoneKey {
    const char *name;
    WORD scanCode;
    DWORD state;
};
const LoneKey kLoneKeys[] = {
    {"left Shift", 0x2A, SHIFT_PRESSED},
    {"right Shift", 0x36, SHIFT_PRESSED},
    {"left Ctrl", 0x1D, LEFT_CTRL_PRESSED},
    {"right Ctrl", 0x1D, RIGHT_CTRL_PRESSED | ENHANCED_KEY},
    {"left Alt", 0x38, LEFT_ALT_PRESSED},
    {"right Alt", 0x38, RIGHT_ALT_PRESSED | ENHANCED_KEY},
    {"Caps Lock", 0x3A, CAPSLOCK_ON},
    {"Num Lock", 0x45, NUMLOCK_ON | ENHANCED_KEY},
    {"Num Lock, not flagged enhanced", 0x45, NUMLOCK_ON},
    {"Scroll Lock", 0x46, SCROLLLOCK_ON},
    {"keypad 5", 0x4C, 0},
    {"Ctrl+keypad 5", 0x4C, LEFT_CTRL_PRESSED},
    {"Alt+keypad 5", 0x4C, LEFT_ALT_PRESSED},
    {"left Windows", 0x5B, ENHANCED_KEY},
    {"right Windows", 0x5C, ENHANCED_KEY},
    {"menu", 0x5D, ENHANCED_KEY},
    {"Shift+right Windows", 0x5C, SHIFT_PRESSED | ENHANCED_KEY},
};

TEST(LoneKeys, ModifierLockAndSystemKeysDoNotEndTheWait)
{
    for (const LoneKey &key : kLoneKeys)
        EXPECT_EQ(KeyEndsWait(Key(true, key.scanCode, key.state)), false) << key.name;
}

TEST(KeyEvents, KeyUpNeverEndsTheWait)
{
    for (DWORD state : {DWORD(0), DWORD(SHIFT_PRESSED), DWORD(LEFT_CTRL_PRESSED),
                        DWORD(RIGHT_ALT_PRESSED), DWORD(ENHANCED_KEY)})
        for (unsigned char ch : {0x00, 0x03, 0x0D, 0x61, 0xE9}) {
            ScanCodes enders;
            for (int scan = 0; scan <= 0xFF; ++scan)
                if (KeyEndsWait(Key(false, WORD(scan), state, ch)))
                    enders.insert(scan);
            EXPECT_EQ(enders, ScanCodes{})
                << "key-up with state " << Hex(state) << " and character " << Hex(ch);
        }
}

TEST(KeyEvents, AnyKeyDownWithACharacterEndsTheWait)
{
    EXPECT_EQ(KeyEndsWait(Key(true, 0x2E, LEFT_CTRL_PRESSED, 0x03)), true) << "Ctrl+C";
    EXPECT_EQ(KeyEndsWait(Key(true, 0x1E, 0, 'a')), true) << "a";
    EXPECT_EQ(KeyEndsWait(Key(true, 0x1C, 0, '\r')), true) << "Enter";
    // Even on scan codes that have no code of their own, and on enhanced keys.
    for (WORD scan : {0x00, 0x1D, 0x2A, 0x38, 0x4C, 0x5B, 0x59, 0xFF})
        for (DWORD state : {DWORD(0), DWORD(SHIFT_PRESSED), DWORD(RIGHT_CTRL_PRESSED),
                            DWORD(LEFT_ALT_PRESSED), DWORD(ENHANCED_KEY) | kLocks}) {
            ScanCodes skipped;
            for (int ch = 1; ch <= 0xFF; ++ch)
                if (!KeyEndsWait(Key(true, scan, state, static_cast<unsigned char>(ch))))
                    skipped.insert(ch);
            EXPECT_EQ(skipped, ScanCodes{})
                << "characters skipped on scan code " << Hex(scan) << ", state " << Hex(state);
        }
}

} // namespace
