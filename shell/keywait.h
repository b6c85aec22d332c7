// The key wait that holds the console open at unload.
#ifndef MIRDU_SHELL_KEYWAIT_H
#define MIRDU_SHELL_KEYWAIT_H

#include <windows.h>

// Number of scan codes (0 to 88) covered by the PC key-code table.
enum { kKeyTableScanCodes = 89 };

// Columns of the key-code table, chosen by the modifiers held: Alt before Ctrl before Shift.
enum KeyColumn { kColumnNone, kColumnShift, kColumnCtrl, kColumnAlt, kKeyColumns };

// The conventional PC extended key code of a key without a character: two bytes, the first
// 0 or 0xE0. Keys that give a character or nothing at all have no such code.
struct KeyCode {
    unsigned char lead;
    unsigned char code;
};

extern const KeyCode g_keyCodes[kKeyTableScanCodes][kKeyColumns];

KeyColumn ColumnForModifiers(DWORD controlKeyState);
bool HasExtendedCode(KeyCode key);

// Whether one console key event ends the wait. Pure: depends on the event alone.
bool KeyEndsWait(const KEY_EVENT_RECORD &key);

// Blocks until a key press that ends the wait arrives on the console input, or until the
// console input cannot be opened or read.
void WaitForKey();

#endif
