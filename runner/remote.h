// Memory in the program's process, for the messages of the common controls whose structures the
// control reads and writes in its own process (list view, tree view and tab items): another
// process cannot hand it pointers of its own. The structures are laid out for the program's
// machine type, which may be the other one than the engine's.
#ifndef MIRDU_RUNNER_REMOTE_H
#define MIRDU_RUNNER_REMOTE_H

#include <windows.h>

#include <string>

#include "shell/handle.h"

// The machine type of the program that owns the window: 32 or 64; 0 when it cannot be told.
int WindowBits(HWND window);

// A control's message sent with kStepAnswerMs to answer in; false when it did not.
bool SendToControl(HWND control, UINT message, WPARAM w, LPARAM l, DWORD_PTR &result);

// How the items' messages use memory in the program: the structure at its start, then the text
// that the control copies there.
const size_t kRemoteTextAt = 128;
const int kRemoteTextChars = 512;
const size_t kRemoteSize = kRemoteTextAt + kRemoteTextChars * sizeof(wchar_t);

class RemoteMemory {
public:
    // size bytes in the process of window; valid() false, with why(), when it cannot be had.
    RemoteMemory(HWND window, size_t size);
    RemoteMemory(const RemoteMemory &) = delete;
    RemoteMemory &operator=(const RemoteMemory &) = delete;
    ~RemoteMemory();

    bool valid() const { return address_ != 0; }
    const std::wstring &why() const { return why_; }
    bool is64() const { return bits_ == 64; }
    // Where it is in the program, for a message's lParam and the pointers in a structure.
    unsigned long long address() const { return address_; }
    bool Write(size_t offset, const void *data, size_t size);
    bool Read(size_t offset, void *data, size_t size);

private:
    UniqueHandle process_;
    unsigned long long address_ = 0;
    int bits_ = 0;
    std::wstring why_;
};

#endif
