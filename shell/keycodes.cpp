// Which key press ends the wait at unload: the PC key-code table and the decision on it.
#include "shell/keywait.h"

namespace {

// Table entries: a key that gives a character (its one byte), a two-byte extended code
// (lead byte 0 or 0xE0, then the code), or nothing (Shift, Ctrl, Caps Lock ...).
constexpr KeyCode CH(unsigned char c) { return KeyCode{c, 0}; }
constexpr KeyCode X(unsigned char code) { return KeyCode{0x00, code}; }
constexpr KeyCode E(unsigned char code) { return KeyCode{0xE0, code}; }
constexpr KeyCode NO = {0, 0};

// Scan codes of the keys that the console flags as enhanced and that end the wait whatever
// modifiers are held: the grey cursor and editing block, keypad Enter and keypad slash.
constexpr WORD kEnhancedScanCodes[] = {
    28, // keypad Enter
    53, // keypad /
    71, // Home
    72, // Up
    73, // Page Up
    75, // Left
    77, // Right
    79, // End
    80, // Down
    81, // Page Down
    82, // Insert
    83, // Delete
};

} // namespace

// Indexed by scan code; columns: none, Shift, Ctrl, Alt.
const KeyCode g_keyCodes[kKeyTableScanCodes][kKeyColumns] = {
    /* 0x00          */ {NO, NO, NO, NO},
    /* 0x01 Esc      */ {CH(0x1B), CH(0x1B), CH(0x1B), X(0x01)},
    /* 0x02 1        */ {CH('1'), CH('!'), NO, X(0x78)},
    /* 0x03 2        */ {CH('2'), CH('@'), X(0x03), X(0x79)},
    /* 0x04 3        */ {CH('3'), CH('#'), NO, X(0x7A)},
    /* 0x05 4        */ {CH('4'), CH('$'), NO, X(0x7B)},
    /* 0x06 5        */ {CH('5'), CH('%'), NO, X(0x7C)},
    /* 0x07 6        */ {CH('6'), CH('^'), CH(0x1E), X(0x7D)},
    /* 0x08 7        */ {CH('7'), CH('&'), NO, X(0x7E)},
    /* 0x09 8        */ {CH('8'), CH('*'), NO, X(0x7F)},
    /* 0x0A 9        */ {CH('9'), CH('('), NO, X(0x80)},
    /* 0x0B 0        */ {CH('0'), CH(')'), NO, X(0x81)},
    /* 0x0C -        */ {CH('-'), CH('_'), CH(0x1F), X(0x82)},
    /* 0x0D =        */ {CH('='), CH('+'), NO, X(0x83)},
    /* 0x0E Backsp.  */ {CH(0x08), CH(0x08), CH(0x7F), X(0x0E)},
    /* 0x0F Tab      */ {CH(0x09), X(0x0F), X(0x94), X(0xA5)},
    /* 0x10 Q        */ {CH('q'), CH('Q'), CH(0x11), X(0x10)},
    /* 0x11 W        */ {CH('w'), CH('W'), CH(0x17), X(0x11)},
    /* 0x12 E        */ {CH('e'), CH('E'), CH(0x05), X(0x12)},
    /* 0x13 R        */ {CH('r'), CH('R'), CH(0x12), X(0x13)},
    /* 0x14 T        */ {CH('t'), CH('T'), CH(0x14), X(0x14)},
    /* 0x15 Y        */ {CH('y'), CH('Y'), CH(0x19), X(0x15)},
    /* 0x16 U        */ {CH('u'), CH('U'), CH(0x15), X(0x16)},
    /* 0x17 I        */ {CH('i'), CH('I'), CH(0x09), X(0x17)},
    /* 0x18 O        */ {CH('o'), CH('O'), CH(0x0F), X(0x18)},
    /* 0x19 P        */ {CH('p'), CH('P'), CH(0x10), X(0x19)},
    /* 0x1A [        */ {CH('['), CH('{'), CH(0x1B), X(0x1A)},
    /* 0x1B ]        */ {CH(']'), CH('}'), CH(0x1D), X(0x1B)},
    /* 0x1C Enter    */ {CH(0x0D), CH(0x0D), CH(0x0A), X(0x1C)},
    /* 0x1D Ctrl     */ {NO, NO, NO, NO},
    /* 0x1E A        */ {CH('a'), CH('A'), CH(0x01), X(0x1E)},
    /* 0x1F S        */ {CH('s'), CH('S'), CH(0x13), X(0x1F)},
    /* 0x20 D        */ {CH('d'), CH('D'), CH(0x04), X(0x20)},
    /* 0x21 F        */ {CH('f'), CH('F'), CH(0x06), X(0x21)},
    /* 0x22 G        */ {CH('g'), CH('G'), CH(0x07), X(0x22)},
    /* 0x23 H        */ {CH('h'), CH('H'), CH(0x08), X(0x23)},
    /* 0x24 J        */ {CH('j'), CH('J'), CH(0x0A), X(0x24)},
    /* 0x25 K        */ {CH('k'), CH('K'), CH(0x0B), X(0x25)},
    /* 0x26 L        */ {CH('l'), CH('L'), CH(0x0C), X(0x26)},
    /* 0x27 ;        */ {CH(';'), CH(':'), NO, X(0x27)},
    /* 0x28 '        */ {CH('\''), CH('"'), NO, X(0x28)},
    /* 0x29 `        */ {CH('`'), CH('~'), NO, X(0x29)},
    /* 0x2A LShift   */ {NO, NO, NO, NO},
    /* 0x2B \        */ {CH('\\'), CH('|'), CH(0x1C), NO},
    /* 0x2C Z        */ {CH('z'), CH('Z'), CH(0x1A), X(0x2C)},
    /* 0x2D X        */ {CH('x'), CH('X'), CH(0x18), X(0x2D)},
    /* 0x2E C        */ {CH('c'), CH('C'), CH(0x03), X(0x2E)},
    /* 0x2F V        */ {CH('v'), CH('V'), CH(0x16), X(0x2F)},
    /* 0x30 B        */ {CH('b'), CH('B'), CH(0x02), X(0x30)},
    /* 0x31 N        */ {CH('n'), CH('N'), CH(0x0E), X(0x31)},
    /* 0x32 M        */ {CH('m'), CH('M'), CH(0x0D), X(0x32)},
    /* 0x33 ,        */ {CH(','), CH('<'), NO, X(0x33)},
    /* 0x34 .        */ {CH('.'), CH('>'), NO, X(0x34)},
    /* 0x35 /        */ {CH('/'), CH('?'), NO, X(0x35)},
    /* 0x36 RShift   */ {NO, NO, NO, NO},
    /* 0x37 Keypad * */ {CH('*'), CH('*'), NO, NO},
    /* 0x38 Alt      */ {NO, NO, NO, NO},
    /* 0x39 Space    */ {CH(' '), CH(' '), CH(' '), CH(' ')},
    /* 0x3A CapsLock */ {NO, NO, NO, NO},
    /* 0x3B F1       */ {X(0x3B), X(0x54), X(0x5E), X(0x68)},
    /* 0x3C F2       */ {X(0x3C), X(0x55), X(0x5F), X(0x69)},
    /* 0x3D F3       */ {X(0x3D), X(0x56), X(0x60), X(0x6A)},
    /* 0x3E F4       */ {X(0x3E), X(0x57), X(0x61), X(0x6B)},
    /* 0x3F F5       */ {X(0x3F), X(0x58), X(0x62), X(0x6C)},
    /* 0x40 F6       */ {X(0x40), X(0x59), X(0x63), X(0x6D)},
    /* 0x41 F7       */ {X(0x41), X(0x5A), X(0x64), X(0x6E)},
    /* 0x42 F8       */ {X(0x42), X(0x5B), X(0x65), X(0x6F)},
    /* 0x43 F9       */ {X(0x43), X(0x5C), X(0x66), X(0x70)},
    /* 0x44 F10      */ {X(0x44), X(0x5D), X(0x67), X(0x71)},
    /* 0x45 NumLock  */ {NO, NO, NO, NO},
    /* 0x46 ScrlLock */ {NO, NO, NO, NO},
    // Keypad with Num Lock off: cursor and editing keys; Shift gives the digit instead.
    /* 0x47 Home     */ {X(0x47), CH('7'), X(0x77), NO},
    /* 0x48 Up       */ {X(0x48), CH('8'), X(0x8D), NO},
    /* 0x49 PgUp     */ {X(0x49), CH('9'), X(0x84), NO},
    /* 0x4A Keypad - */ {CH('-'), CH('-'), NO, NO},
    /* 0x4B Left     */ {X(0x4B), CH('4'), X(0x73), NO},
    /* 0x4C Keypad 5 */ {NO, CH('5'), NO, NO},
    /* 0x4D Right    */ {X(0x4D), CH('6'), X(0x74), NO},
    /* 0x4E Keypad + */ {CH('+'), CH('+'), NO, NO},
    /* 0x4F End      */ {X(0x4F), CH('1'), X(0x75), NO},
    /* 0x50 Down     */ {X(0x50), CH('2'), X(0x91), NO},
    /* 0x51 PgDn     */ {X(0x51), CH('3'), X(0x76), NO},
    /* 0x52 Ins      */ {X(0x52), CH('0'), X(0x92), NO},
    /* 0x53 Del      */ {X(0x53), CH('.'), X(0x93), NO},
    /* 0x54 SysRq    */ {NO, NO, NO, NO},
    /* 0x55          */ {NO, NO, NO, NO},
    /* 0x56 102nd \  */ {CH('\\'), CH('|'), NO, NO},
    /* 0x57 F11      */ {E(0x85), E(0x87), E(0x89), E(0x8B)},
    /* 0x58 F12      */ {E(0x86), E(0x88), E(0x8A), E(0x8C)},
};

KeyColumn ColumnForModifiers(DWORD state)
{
    if (state & (LEFT_ALT_PRESSED | RIGHT_ALT_PRESSED))
        return kColumnAlt;
    if (state & (LEFT_CTRL_PRESSED | RIGHT_CTRL_PRESSED))
        return kColumnCtrl;
    if (state & SHIFT_PRESSED)
        return kColumnShift;
    return kColumnNone;
}

bool HasExtendedCode(KeyCode key)
{
    return (key.lead == 0x00 || key.lead == 0xE0) && key.code != 0;
}

static bool IsEnhancedKeyThatEndsWait(WORD scanCode)
{
    for (WORD code : kEnhancedScanCodes)
        if (code == scanCode)
            return true;
    return false;
}

bool KeyEndsWait(const KEY_EVENT_RECORD &key)
{
    if (!key.bKeyDown)
        return false;
    if (key.uChar.AsciiChar != 0)
        return true;
    if (key.dwControlKeyState & ENHANCED_KEY)
        return IsEnhancedKeyThatEndsWait(key.wVirtualScanCode);
    // Keys beyond the table have no code and are skipped like Shift alone.
    if (key.wVirtualScanCode >= kKeyTableScanCodes)
        return false;
    return HasExtendedCode(g_keyCodes[key.wVirtualScanCode][ColumnForModifiers(key.dwControlKeyState)]);
}
