// Reads the lines that programs write to a console from its screen buffer, without Win32: the
// buffer is reached through ScreenBuffer, so that the logic can be tried on a buffer in memory.
//
// The buffer holds the last rows only: once it is full, every new line scrolls the oldest out
// and nothing tells by how much it scrolled. So the reader marks a row it has taken, in its far
// columns, and finds that mark again in later snapshots: the rows below it that it has not yet
// taken are new, however far the buffer scrolled and however alike the lines are.
//
// A mark is written only where the row is blank (a line shorter than the buffer is wide), and
// only on rows the reader has already taken, so that it never takes the place of text. Between
// the snapshot that chose the row and the write, the buffer may scroll; the write then lands on
// a later row, which a second snapshot tells by the distance from the previous mark. A row that
// is full to its last column goes on in the next one (the console wrapped it): the reader joins
// such rows into one line.
#ifndef MIRDU_RUNNER_ROWS_H
#define MIRDU_RUNNER_ROWS_H

#include <deque>
#include <string>
#include <vector>

// A console screen buffer: the console itself, or one kept in memory by the tests.
class ScreenBuffer {
public:
    struct Shape {
        int width = 0, height = 0, cursorX = 0, cursorY = 0;
    };
    virtual ~ScreenBuffer() = default;
    virtual bool GetShape(Shape &shape) = 0;
    // count rows from first, width characters each, read in one go: a snapshot.
    virtual bool ReadRows(int first, int count, std::string &text) = 0;
    virtual bool WriteText(int row, int column, const std::string &text) = 0;
    virtual bool SetSize(int width, int height) = 0;
};

// What went wrong in a read. kLost: the output outran the reading and lines are missing (the
// reading goes on); kBroken: the buffer could not be read or written.
struct ReadProblem {
    enum Kind { kNone, kLost, kBroken } kind = kNone;
    std::string what;
    explicit operator bool() const { return kind != kNone; }
};

class RowReader {
public:
    // The columns a mark takes, at the right edge of a row.
    static constexpr int kMarkLength = 20;
    // A line longer than this comes as several.
    static constexpr size_t kLongestLine = 32768;
    // A read that finds more than half the buffer new doubles its rows, up to this.
    static constexpr int kMostRows = 8000;
    // Rows kept to tell, after lines were lost, which of those still there were taken.
    static constexpr size_t kRecentRows = 256;

    explicit RowReader(ScreenBuffer &buffer) : buffer_(buffer) {}

    // Everything in the buffer is the program's, from its first row. wasFull: the buffer was
    // full before it was enlarged, so rows may have scrolled out before this.
    ReadProblem Begin(bool wasFull);
    // Appends the lines completed since the last read.
    ReadProblem Read(std::vector<std::string> &lines);
    // Once nothing writes to the buffer any more: the rest, with the line the cursor is on.
    // lastHasLineEnd is false when the last line has no line end yet.
    ReadProblem Finish(std::vector<std::string> &lines, bool &lastHasLineEnd);
    // Blanks the marks, once nothing writes to the buffer any more.
    void Restore();

private:
    std::string Mark(unsigned serial) const;
    int FindMark(const std::string &block, int rows, unsigned serial) const;
    bool IsMark(const std::string &block, int row) const;
    bool BlankTail(const std::string &block, int row) const;
    void Take(const std::string &block, int fromRow, int toRow, std::vector<std::string> &lines);
    ReadProblem Locate(int last, std::string &block, int &first);
    int Landed(const std::string &block, int first, int row, int last, const std::string &after,
               int found) const;
    int RowToMark(const std::string &block, int first, int last);
    ReadProblem LoseMark(int found, int start, unsigned serial);
    ReadProblem TakeThrough(int landed, int last, const std::string &after, int at,
                            std::vector<std::string> &lines);
    ReadProblem MoveMark(const std::string &block, int first, int last,
                         std::vector<std::string> &lines);
    ReadProblem CheckShape(const ScreenBuffer::Shape &shape);
    int RowsTakenAtTop(const std::string &block, int last) const;
    void Scrolled(int rows, int room);
    void Grow();
    ReadProblem Broken(const char *what) const;

    ScreenBuffer &buffer_;
    int width_ = 0, height_ = 0;
    int anchor_ = -1;         // the row of the current mark; -1: none yet, rows count from the top
    unsigned serial_ = 0;     // the number in it
    int taken_ = 0;           // rows after the anchor already taken
    int lookBack_ = 0;        // how far above the anchor to look first: the last scroll
    bool mayScroll_ = true;   // no mark placed yet: a scroll would go unnoticed
    bool fullSeen_ = false;   // a full buffer with no mark was reported
    std::string partial_;     // a wrapped line whose last row has not come yet
    std::deque<std::string> recent_; // the last rows taken, as they were
};

#endif
