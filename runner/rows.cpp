#include "runner/rows.h"

#include <algorithm>
#include <cstdio>

namespace {

// Rows taken after the mark before it is moved down to the rows just taken: each read then
// looks at few rows, and the mark never nears the top, where the next scroll would take it.
const int kMoveAfter = 32;
// How many taken rows the new mark keeps below it: a scroll of up to that many rows between
// choosing its row and writing it still puts it on a row already taken, never on text unread.
const int kMargin = 64;

const char kMarkPrefix[] = "{mirdu-run ";

} // namespace

ReadProblem RowReader::Broken(const char *what) const
{
    return {ReadProblem::kBroken, std::string("the console: ") + what + " failed"};
}

std::string RowReader::Mark(unsigned serial) const
{
    char text[kMarkLength + 1];
    snprintf(text, sizeof text, "%s%08X}", kMarkPrefix, serial);
    return text;
}

int RowReader::FindMark(const std::string &block, int rows, unsigned serial) const
{
    std::string mark = Mark(serial);
    for (int row = 0; row < rows; row++)
        if (block.compare((size_t)row * width_ + width_ - kMarkLength, kMarkLength, mark) == 0)
            return row;
    return -1;
}

bool RowReader::IsMark(const std::string &block, int row) const
{
    size_t at = (size_t)(row + 1) * width_ - kMarkLength;
    return block.compare(at, sizeof kMarkPrefix - 1, kMarkPrefix) == 0 &&
           block[at + kMarkLength - 1] == '}';
}

bool RowReader::BlankTail(const std::string &block, int row) const
{
    size_t end = (size_t)(row + 1) * width_;
    return block.find_first_not_of(' ', end - kMarkLength) >= end;
}

ReadProblem RowReader::Begin(bool wasFull)
{
    ScreenBuffer::Shape shape;
    if (!buffer_.GetShape(shape))
        return Broken("reading the cursor");
    if (shape.width < 2 * kMarkLength || shape.height < 8)
        return {ReadProblem::kBroken, "the console's screen buffer is too small to read from"};
    width_ = shape.width;
    height_ = shape.height;
    anchor_ = -1;
    serial_ = 0;
    taken_ = 0;
    lookBack_ = 0;
    mayScroll_ = true;
    fullSeen_ = wasFull;
    partial_.clear();
    if (wasFull)
        return {ReadProblem::kLost, "the console was full before it could be read: its first "
                                    "lines may be missing"};
    return {};
}

// Rows of a block as lines: a row full to its last column goes on in the next, and a row
// without a line end yet waits in partial_. A mark left on a row (after lines were lost) is no
// text of the program's.
void RowReader::Take(const std::string &block, int fromRow, int toRow,
                     std::vector<std::string> &lines)
{
    for (int row = fromRow; row <= toRow; row++) {
        std::string text = block.substr((size_t)row * width_, width_);
        recent_.push_back(text);
        if (recent_.size() > kRecentRows)
            recent_.pop_front();
        if (IsMark(block, row))
            text.replace(width_ - kMarkLength, kMarkLength, kMarkLength, ' ');
        if (text.back() != ' ') {
            partial_ += text;
        } else {
            text.erase(text.find_last_not_of(' ') + 1);
            lines.push_back(partial_ + text);
            partial_.clear();
        }
        while (partial_.size() >= kLongestLine) {
            lines.push_back(partial_.substr(0, kLongestLine));
            partial_.erase(0, kLongestLine);
        }
    }
}

// How many rows at the top of block (rows 0..last) are the last rows taken before.
int RowReader::RowsTakenAtTop(const std::string &block, int last) const
{
    for (int count = std::min<int>(recent_.size(), last + 1); count > 0; count--) {
        bool same = true;
        for (int row = 0; row < count && same; row++)
            same = block.compare((size_t)row * width_, width_,
                                 recent_[recent_.size() - count + row]) == 0;
        if (same)
            return count;
    }
    return 0;
}

// The buffer scrolled that many rows since the mark was last found, when it had room for that
// many before the mark would have gone: past half of it, the output nearly outran the reading.
void RowReader::Scrolled(int rows, int room)
{
    if (rows <= 0)
        return;
    lookBack_ = std::min(height_, 2 * rows + 16);
    if (rows > room / 2)
        Grow();
}

// The output came close to outrunning the reading (a busy machine): more rows give the reading
// room, and slow the output, since Wine moves the whole buffer for every line once it is full.
void RowReader::Grow()
{
    int rows = std::min(kMostRows, 2 * height_);
    if (rows > height_ && buffer_.SetSize(width_, rows))
        height_ = rows;
}

// Finds the mark again and reads from it (or from a little above) to the last complete row:
// block holds rows first..last. kLost when the mark is gone: block then holds rows 0..last.
ReadProblem RowReader::Locate(int last, std::string &block, int &first)
{
    first = anchor_ < 0 ? 0 : std::max(0, std::min(anchor_, last) - lookBack_);
    for (;;) {
        if (!buffer_.ReadRows(first, last - first + 1, block) ||
            block.size() != (size_t)(last - first + 1) * width_)
            return Broken("reading the screen buffer");
        if (anchor_ < 0)
            return {};
        int found = FindMark(block, last - first + 1, serial_);
        if (found >= 0) {
            Scrolled(anchor_ - (first + found), anchor_);
            anchor_ = first + found;
            return {};
        }
        if (first == 0)
            return {ReadProblem::kLost, "the program wrote more lines between two reads than "
                                        "the console holds (" + std::to_string(height_) +
                                            " rows): lines are missing"};
        first = std::max(0, first - std::max(64, 2 * (last - first + 1)));
    }
}

// Where a mark written on row went, told by the text before it when the old mark that would
// tell it has scrolled out: the row of the first snapshot (first..last) whose text it is, or -1
// when no row or more than one has it.
int RowReader::Landed(const std::string &block, int first, int row, int last,
                      const std::string &after, int found) const
{
    const size_t text = width_ - kMarkLength;
    int landed = -1;
    for (int candidate = row; candidate <= last; candidate++)
        if (block.compare((size_t)(candidate - first) * width_, text, after,
                          (size_t)found * width_, text) == 0) {
            if (landed >= 0)
                return -1;
            landed = candidate;
        }
    return landed;
}

// The blank-tailed row among those just taken to mark, kMargin rows above the last; -1 when
// there is none yet.
int RowReader::RowToMark(const std::string &block, int first, int last)
{
    int row = last - std::min(kMargin, height_ / 8);
    while (row > anchor_ && !BlankTail(block, row - first))
        row--;
    if (row > anchor_)
        return row;
    // No row to mark yet (long lines that fill their last rows): a later read tries again,
    // and meanwhile more rows keep the mark from scrolling out.
    if (last - anchor_ > height_ / 2)
        Grow();
    return -1;
}

// The output ran so far ahead while a row was being marked that where the mark went cannot be
// told: reading starts again from the top. found: the new mark's row in the second snapshot
// (from start), -1 when it is not there.
ReadProblem RowReader::LoseMark(int found, int start, unsigned serial)
{
    anchor_ = found < 0 ? -1 : start + found;
    taken_ = 0;
    serial_ = found < 0 ? serial_ : serial;
    mayScroll_ = found < 0;
    return {ReadProblem::kLost, "the console scrolled too far while a row was being marked: "
                                "lines may be missing"};
}

// The mark, written on row landed of the first snapshot, now stands on row at of after. Rows
// up to it that were not taken yet, which the output completed meanwhile, are taken now, the
// marked one too, whose far columns held nothing where the text before them ends short.
ReadProblem RowReader::TakeThrough(int landed, int last, const std::string &after, int at,
                                   std::vector<std::string> &lines)
{
    if (landed <= last) {
        taken_ = last - landed;
        return {};
    }
    Take(after, at - (landed - last - 1), at, lines);
    taken_ = 0;
    if (after[(size_t)at * width_ + width_ - kMarkLength - 1] == ' ')
        return {};
    return {ReadProblem::kLost, "the console scrolled onto a row as it was being marked: "
                                "characters may be missing"};
}

// Moves the mark down to a blank-tailed row among those just taken, and makes sure where it
// landed: a second snapshot finds the old mark and the new one, and their distance tells how
// far the buffer scrolled between the choice and the write.
ReadProblem RowReader::MoveMark(const std::string &block, int first, int last,
                                std::vector<std::string> &lines)
{
    if (!mayScroll_ && taken_ < std::min(kMoveAfter, height_ / 4))
        return {};
    int row = RowToMark(block, first, last);
    if (row < 0)
        return {};
    unsigned serial = serial_ + 1;
    if (!buffer_.WriteText(row, width_ - kMarkLength, Mark(serial)))
        return Broken("marking a row");
    int before = anchor_; // the old mark's row in the first snapshot
    std::string after;
    int start = 0;
    ReadProblem gone = Locate(last, after, start);
    if (gone.kind == ReadProblem::kBroken)
        return gone;
    int found = FindMark(after, (int)(after.size() / width_), serial);
    int landed = -1; // the row of the first snapshot that the mark was written on
    if (found >= 0 && gone)
        landed = Landed(block, first, row, last, after, found);
    if (found < 0 || (gone && landed < 0))
        return LoseMark(found, start, serial);
    int at = start + found;
    if (gone)
        Grow(); // the output nearly outran the reading
    else // a buffer never full has never scrolled: with no old mark, that is all to go by
        landed = row + (before >= 0 ? (at - anchor_) - (row - before) : 0);
    anchor_ = at;
    serial_ = serial;
    mayScroll_ = false;
    return TakeThrough(landed, last, after, at - start, lines);
}

// What the buffer's shape tells before a read: a width that changed, or a buffer that filled
// before it could be marked.
ReadProblem RowReader::CheckShape(const ScreenBuffer::Shape &shape)
{
    ReadProblem problem;
    if (shape.width != width_) {
        // The program made its console narrower or wider: the marks are no longer where they
        // were written, and what was taken cannot be told from what was not.
        width_ = shape.width;
        anchor_ = -1;
        taken_ = 0;
        partial_.clear();
        problem = {ReadProblem::kLost, "the program changed its console's width: lines may be "
                                       "missing or repeated"};
    }
    height_ = shape.height;
    if (anchor_ < 0 && mayScroll_ && !fullSeen_ && shape.cursorY >= height_ - 1) {
        fullSeen_ = true;
        problem = {ReadProblem::kLost, "the console filled up before its rows could be "
                                       "marked: lines may be missing"};
    }
    return problem;
}

ReadProblem RowReader::Read(std::vector<std::string> &lines)
{
    ScreenBuffer::Shape shape;
    if (!buffer_.GetShape(shape))
        return Broken("reading the cursor");
    ReadProblem problem = CheckShape(shape);
    int last = std::min(shape.cursorY, height_) - 1;
    if (last < 0)
        return problem;
    std::string block;
    int first;
    ReadProblem located = Locate(last, block, first);
    if (located.kind == ReadProblem::kBroken)
        return located;
    if (located) {
        // The mark scrolled out: the rows still there are unread, but for those at the top
        // that were taken already, told by their text; only the rows that went are lost.
        Take(block, RowsTakenAtTop(block, last), last, lines);
        anchor_ = -1;
        taken_ = last + 1;
        mayScroll_ = fullSeen_ = true;
        problem = located;
    } else if (anchor_ + 1 + taken_ <= last) {
        int from = anchor_ + 1 + taken_;
        Take(block, from - first, last - first, lines);
        taken_ += last - from + 1;
    }
    ReadProblem moved = MoveMark(block, first, last, lines);
    return problem ? problem : moved;
}

ReadProblem RowReader::Finish(std::vector<std::string> &lines, bool &lastHasLineEnd)
{
    lastHasLineEnd = true;
    ReadProblem problem = Read(lines);
    if (problem.kind == ReadProblem::kBroken)
        return problem;
    ScreenBuffer::Shape shape;
    std::string row;
    if (!buffer_.GetShape(shape))
        return Broken("reading the cursor");
    if (shape.cursorY < height_ && !buffer_.ReadRows(shape.cursorY, 1, row))
        return Broken("reading the screen buffer");
    row.erase(row.find_last_not_of(' ') + 1);
    if (!partial_.empty() || !row.empty()) {
        lines.push_back(partial_ + row);
        partial_.clear();
        lastHasLineEnd = false;
    }
    return problem;
}

// Marks are looked for rather than remembered: after lines were lost, where the earlier ones
// went cannot be told, and a cell is blanked only where a mark is.
void RowReader::Restore()
{
    std::string block;
    if (width_ == 0 || !buffer_.ReadRows(0, height_, block))
        return;
    for (int row = 0; row < (int)(block.size() / width_); row++)
        if (IsMark(block, row))
            buffer_.WriteText(row, width_ - kMarkLength, std::string(kMarkLength, ' '));
}
