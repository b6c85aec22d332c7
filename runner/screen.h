// Reads the lines that programs write to the console from its screen buffer.
//
// The buffer holds the last rows only: once it is full, every new line scrolls the oldest out
// and nothing tells by how much it scrolled. So each read marks the last row it took, in its
// far columns (past any line the library prints), and the next read finds that marker again:
// the rows below it are new, however far the buffer scrolled and however alike the lines
// are. The marker is written first and found again in the same snapshot as the new rows, so
// a scroll in between cannot misplace it. Should the output outrun the reading by a whole
// buffer, the read says lines were lost and goes on from the rows that are still there.
#ifndef MIRDU_RUNNER_SCREEN_H
#define MIRDU_RUNNER_SCREEN_H

#include <windows.h>

#include <string>
#include <vector>

#include "runner/report.h"
#include "shell/handle.h"

class ConsoleScreen {
public:
    // The columns and rows the buffer is made to have at least: wide enough that no line of
    // the library wraps, tall enough for much output between two reads. No more: Wine's
    // console moves the whole buffer for every line once it is full. mirdu-run's own console,
    // which a console program shares, is wide for that program's own lines; a console that a
    // program opens holds the library's lines alone, so it trades width for rows.
    enum : SHORT { kColumns = 256, kRows = 1000, kOpenedColumns = 128, kOpenedRows = 2000 };
    // A read that finds more than half the buffer new grows it, up to this.
    enum : SHORT { kMostRows = 8000 };

    ConsoleScreen() = default;
    ConsoleScreen(const ConsoleScreen &) = delete;
    ConsoleScreen &operator=(const ConsoleScreen &) = delete;
    ~ConsoleScreen() { Restore(); }

    // Takes the active screen buffer of this process's console and makes it at least that big.
    Failure Open(SHORT columns = kColumns, SHORT rows = kRows);
    // From here on, what is written to the console is the run's.
    Failure Begin();
    // Everything on the console is the run's, from its first row: a console that the program
    // opened. Fails when the buffer is full already, for then rows may have scrolled out.
    Failure BeginAtTop();
    // Appends the lines completed since the last read.
    Failure Read(std::vector<std::string> &lines);
    // Once the program has ended: the rest, and a last line that has no line end yet.
    Failure Finish(std::vector<std::string> &lines, bool &lastHasLineEnd);
    // Takes the markers away and gives the buffer its width back.
    void Restore();

private:
    Failure Mark(SHORT row, unsigned serial);
    bool MarkerAt(SHORT row, unsigned serial);
    Failure ReadRows(SHORT first, SHORT count, std::string &text);
    void Grow();
    Failure Resume(const std::string &block, const std::string &newMarker, unsigned next,
                   std::vector<std::string> &lines);
    std::string Marker(unsigned serial) const;
    std::string RowText(const std::string &block, SHORT row, bool marked) const;

    UniqueHandle out_;
    COORD savedSize_ = {0, 0};
    SHORT width_ = 0, height_ = 0;
    SHORT markerRow_ = -1;         // where the last marker was written or found; -1: none yet,
                                   // the rows from the top are new
    unsigned serial_ = 0;          // the number in it
    SHORT lookBack_ = 0;           // how far above markerRow_ to look first: the last scroll
    std::vector<SHORT> markedRows_; // to clear at the end, moved up as the buffer scrolls
    bool restored_ = true;
};

// The input (CONIN$) or active screen buffer (CONOUT$) of this process's console;
// INVALID_HANDLE_VALUE when it has none.
HANDLE OpenConsole(const wchar_t *name, bool inheritable = false);

// A key that types this character, pressed and released, written into a console's input. Enter
// ('\r' or '\n') is what ends the library's wait at unload.
void TypeKey(HANDLE input, char typed);

#endif
