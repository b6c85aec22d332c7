// The console reading on a console kept in memory: lines of every length, scrolls of every size
// between two reads, output that lands between the reader's own calls, a buffer that grows.
// The console wraps a line at its last column the way Wine's does (the cursor waits at the end
// of a full row until the next character) or the way Windows' does without virtual-terminal
// processing (it moves on at once); the reader must take both.
#include <gtest/gtest.h>

#include <functional>
#include <random>
#include <string>
#include <vector>

#include "runner/rows.h"

namespace {

enum class Wrap { kDelayed, kImmediate };

class FakeConsole : public ScreenBuffer {
public:
    FakeConsole(int width, int height, Wrap wrap)
        : width_(width), wrap_(wrap), rows_(height, std::string(width, ' '))
    {
    }

    // Called before each of the reader's calls, with its name: the program writes meanwhile.
    std::function<void(const std::string &call)> between;

    void Write(const std::string &text)
    {
        for (char c : text) {
            if (c == '\n') {
                NewLine();
            } else if (c == '\r') {
                x_ = 0;
                pending_ = false;
            } else {
                if (pending_)
                    NewLine();
                rows_[y_][x_] = c;
                if (x_ + 1 < width_)
                    x_++;
                else if (wrap_ == Wrap::kImmediate)
                    NewLine();
                else
                    pending_ = true;
            }
        }
    }
    void WriteLines(const std::vector<std::string> &lines)
    {
        for (const std::string &line : lines)
            Write(line + "\n");
    }
    const std::vector<std::string> &rows() const { return rows_; }
    // The rows that both consoles still hold, by the count of rows written since their start:
    // one that grew has scrolled less.
    std::vector<std::string> RowsInCommonWith(const FakeConsole &other) const
    {
        std::vector<std::string> common;
        for (int row = 0; row < (int)rows_.size(); row++) {
            int there = row + scrolled_ - other.scrolled_;
            if (there >= 0 && there < (int)other.rows_.size() && row <= y_)
                common.push_back(rows_[row]);
        }
        return common;
    }

    bool GetShape(Shape &shape) override
    {
        Before("GetShape");
        shape = {width_, (int)rows_.size(), x_, y_};
        return true;
    }
    bool ReadRows(int first, int count, std::string &text) override
    {
        Before("ReadRows");
        text.clear();
        for (int row = first; row < first + count && row < (int)rows_.size(); row++)
            text += rows_[row];
        return true;
    }
    bool WriteText(int row, int column, const std::string &text) override
    {
        Before("WriteText");
        rows_[row].replace(column, text.size(), text);
        return true;
    }
    bool SetSize(int width, int height) override
    {
        Before("SetSize");
        if (width != width_ || height < (int)rows_.size())
            return false;
        rows_.resize(height, std::string(width_, ' '));
        return true;
    }

private:
    void Before(const std::string &call)
    {
        if (between)
            between(call);
    }
    void NewLine()
    {
        pending_ = false;
        x_ = 0;
        if (++y_ < (int)rows_.size())
            return;
        rows_.erase(rows_.begin());
        rows_.push_back(std::string(width_, ' '));
        y_--;
        scrolled_++;
    }

    int width_;
    Wrap wrap_;
    std::vector<std::string> rows_;
    int x_ = 0, y_ = 0, scrolled_ = 0;
    bool pending_ = false;
};

const int kWidth = 64;

// A line of that length that a reader cannot mistake for another: no space at its end.
std::string LineOf(size_t length, unsigned seed)
{
    std::string line;
    for (size_t i = 0; i < length; i++)
        line += (char)('!' + (seed * 7 + i * 13) % 90);
    return line;
}

// Under Wine a line of exactly a multiple of the width, ended, looks like a wrapped one.
bool Ambiguous(size_t length, Wrap wrap) { return wrap == Wrap::kDelayed && length % kWidth == 0 && length > 0; }

struct Outcome {
    std::vector<std::string> lines;
    std::vector<ReadProblem::Kind> problems;
    bool lastHasLineEnd = true;

    void Note(const ReadProblem &problem)
    {
        if (problem)
            problems.push_back(problem.kind);
    }
    bool Lost() const
    {
        for (ReadProblem::Kind kind : problems)
            if (kind == ReadProblem::kLost)
                return true;
        return false;
    }
    bool Broken() const
    {
        for (ReadProblem::Kind kind : problems)
            if (kind == ReadProblem::kBroken)
                return true;
        return false;
    }
};

// Reads while the console's between hook writes the lines, until `written` reaches `total`,
// then what is left.
Outcome ReadAsWritten(FakeConsole &console, const size_t &written, size_t total)
{
    RowReader reader(console);
    Outcome run;
    run.Note(reader.Begin(false));
    while (written < total)
        run.Note(reader.Read(run.lines));
    console.between = nullptr;
    run.Note(reader.Finish(run.lines, run.lastHasLineEnd));
    return run;
}

// Writes the lines in chunks, reading after each, then finishes.
Outcome ReadWhileWriting(FakeConsole &console, const std::vector<std::string> &lines,
                     const std::vector<size_t> &chunks)
{
    RowReader reader(console);
    Outcome run;
    run.Note(reader.Begin(false));
    size_t at = 0;
    for (size_t i = 0; at < lines.size(); i++) {
        size_t count = std::min(chunks[i % chunks.size()], lines.size() - at);
        console.WriteLines({lines.begin() + at, lines.begin() + at + count});
        at += count;
        run.Note(reader.Read(run.lines));
    }
    run.Note(reader.Finish(run.lines, run.lastHasLineEnd));
    console.between = nullptr;
    reader.Restore();
    return run;
}

// Whether got is want with some lines left out, in order, where a line may have lost its start
// (its first rows scrolled out): what a reported loss may do.
bool LostSome(const std::vector<std::string> &got, const std::vector<std::string> &want)
{
    size_t at = 0;
    for (const std::string &line : got) {
        auto endsWith = [&](const std::string &whole) {
            return whole.size() >= line.size() &&
                   whole.compare(whole.size() - line.size(), line.size(), line) == 0;
        };
        while (at < want.size() && !endsWith(want[at]))
            at++;
        if (at++ >= want.size())
            return false;
    }
    return true;
}

// Where got first differs from want, for a message that fits on a screen.
std::string FirstDifference(const std::vector<std::string> &got,
                            const std::vector<std::string> &want)
{
    size_t i = 0;
    while (i < got.size() && i < want.size() && got[i] == want[i])
        i++;
    if (i == got.size() && i == want.size())
        return "";
    auto shown = [](const std::vector<std::string> &lines, size_t i) {
        return i >= lines.size() ? std::string("(none)")
                                 : "'" + lines[i].substr(0, 100) +
                                       (lines[i].size() > 100 ? "...'" : "'");
    };
    return "line " + std::to_string(i) + " of " + std::to_string(want.size()) + ": got " +
           shown(got, i) + ", want " + shown(want, i);
}

class RowReaderTest : public ::testing::TestWithParam<Wrap> {};

TEST_P(RowReaderTest, LinesOfEveryLengthComeWholeAndTheConsoleKeepsItsText)
{
    std::vector<std::string> lines;
    for (size_t length = 0; length <= 4 * kWidth + 3; length++)
        if (!Ambiguous(length, GetParam()))
            lines.push_back(LineOf(length, (unsigned)length));
    for (size_t chunk : {1, 3, 7, 20}) {
        FakeConsole console(kWidth, 60, GetParam()), shadow(kWidth, 60, GetParam());
        Outcome run = ReadWhileWriting(console, lines, {chunk});
        shadow.WriteLines(lines);
        EXPECT_EQ(FirstDifference(run.lines, lines), "") << "chunks of " << chunk;
        EXPECT_TRUE(run.problems.empty()) << "chunks of " << chunk;
        EXPECT_TRUE(run.lastHasLineEnd);
        EXPECT_EQ(FirstDifference(console.RowsInCommonWith(shadow), shadow.RowsInCommonWith(console)), "")
            << "a mark is left or took the place of text";
    }
}

TEST_P(RowReaderTest, ScrollsOfEverySizeBetweenTwoReadsAreReadOrReported)
{
    const int height = 120;
    for (size_t scroll = 0; scroll <= height + 5; scroll++) {
        std::vector<std::string> lines;
        for (unsigned i = 0; i < 30 + scroll; i++)
            lines.push_back(LineOf(i % 3 ? 10 + i % 50 : 70 + i % 40, i));
        FakeConsole console(kWidth, height, GetParam());
        // 30 lines with reads between them, then the scroll all at once, then a few more.
        std::vector<size_t> chunks(30, 1);
        chunks.push_back(scroll);
        Outcome run = ReadWhileWriting(console, lines, chunks);
        EXPECT_FALSE(run.Broken());
        if (run.Lost()) {
            EXPECT_TRUE(LostSome(run.lines, lines)) << "a line was mangled at scroll " << scroll;
        } else {
            EXPECT_EQ(FirstDifference(run.lines, lines), "") << "scroll " << scroll;
        }
        // New rows fit while the mark stays in the buffer: it is moved down after 32 rows
        // taken, to 16 rows above the last (lines here take 1 or 2 rows).
        EXPECT_TRUE(scroll > (height - 50) / 2 || !run.Lost()) << "scroll " << scroll;
    }
}

TEST_P(RowReaderTest, OutputBetweenTheReadersOwnCallsLosesNothing)
{
    // A few lines land before every call of the reader's: between its snapshot and its mark,
    // and between the mark and the snapshot that checks it.
    for (unsigned seed = 1; seed <= 40; seed++) {
        std::mt19937 random(seed);
        std::vector<std::string> lines;
        for (unsigned i = 0; i < 1500; i++) {
            size_t length = random() % (2 * kWidth + 5);
            lines.push_back(LineOf(Ambiguous(length, GetParam()) ? length + 1 : length, i));
        }
        FakeConsole console(kWidth, 80, GetParam());
        size_t at = 0;
        console.between = [&](const std::string &) {
            size_t count = std::min<size_t>(random() % 3, lines.size() - at);
            console.WriteLines({lines.begin() + at, lines.begin() + at + count});
            at += count;
        };
        Outcome run = ReadAsWritten(console, at, lines.size());
        EXPECT_TRUE(run.problems.empty()) << "seed " << seed;
        EXPECT_EQ(FirstDifference(run.lines, lines), "") << "seed " << seed;
    }
}

TEST_P(RowReaderTest, AScrollBetweenChoosingARowAndMarkingItLosesNothing)
{
    // More lines than the margin kept below the mark come just before it is written, so that
    // it lands on rows that were not taken yet.
    for (size_t burst : {5, 20, 60}) {
        std::vector<std::string> lines;
        for (unsigned i = 0; i < 600; i++)
            lines.push_back(LineOf(3 + i % 40, i));
        FakeConsole console(kWidth, 160, GetParam());
        size_t at = 0;
        console.between = [&](const std::string &call) {
            size_t count = std::min(call == "WriteText" ? burst : 1, lines.size() - at);
            console.WriteLines({lines.begin() + at, lines.begin() + at + count});
            at += count;
        };
        Outcome run = ReadAsWritten(console, at, lines.size());
        EXPECT_TRUE(run.problems.empty()) << "burst " << burst;
        EXPECT_EQ(FirstDifference(run.lines, lines), "") << "burst " << burst;
    }
}

TEST_P(RowReaderTest, AScrollThatTakesTheOldMarkAsTheNewIsCheckedLosesNothing)
{
    // Between the write of the new mark and the snapshot that checks it, so many lines come
    // that the old mark scrolls out: where the new one landed is told by the text before it.
    std::vector<std::string> lines;
    for (unsigned i = 0; i < 900; i++)
        lines.push_back(LineOf(3 + i % 40, i));
    FakeConsole console(kWidth, 160, GetParam());
    size_t at = 0;
    bool written = false;
    int bursts = 0;
    console.between = [&](const std::string &call) {
        size_t count = call == "WriteText" ? 0 : written && call == "ReadRows" ? 110 : 1;
        written = call == "WriteText";
        count = std::min(count, lines.size() - at);
        bursts += count > 1;
        console.WriteLines({lines.begin() + at, lines.begin() + at + count});
        at += count;
    };
    Outcome run = ReadAsWritten(console, at, lines.size());
    EXPECT_GT(bursts, 0);
    EXPECT_TRUE(run.problems.empty());
    EXPECT_EQ(FirstDifference(run.lines, lines), "");
}

TEST_P(RowReaderTest, ABufferThatFallsBehindGrows)
{
    const int height = 40;
    std::vector<std::string> lines;
    for (unsigned i = 0; i < 400; i++)
        lines.push_back(LineOf(5 + i % 30, i));
    FakeConsole console(kWidth, height, GetParam());
    Outcome run = ReadWhileWriting(console, lines, {2, 2, 19});
    EXPECT_EQ(FirstDifference(run.lines, lines), "");
    EXPECT_TRUE(run.problems.empty());
    EXPECT_GE(console.rows().size(), 2u * height);
}

TEST_P(RowReaderTest, TheLastLineWithoutALineEndComesAtTheEnd)
{
    for (size_t length : {1, 30, kWidth - 1, kWidth, kWidth + 5, 3 * kWidth}) {
        FakeConsole console(kWidth, 40, GetParam());
        RowReader reader(console);
        Outcome run;
        run.Note(reader.Begin(false));
        console.Write("first\n" + LineOf(length, 1));
        run.Note(reader.Read(run.lines));
        run.Note(reader.Finish(run.lines, run.lastHasLineEnd));
        EXPECT_EQ(FirstDifference(run.lines, {"first", LineOf(length, 1)}), "") << length;
        EXPECT_FALSE(run.lastHasLineEnd) << length;
        EXPECT_TRUE(run.problems.empty()) << length;
    }
}

TEST_P(RowReaderTest, ALineLongerThanTheLongestComesAsSeveral)
{
    std::string line = LineOf(RowReader::kLongestLine + 1000, 3);
    FakeConsole console(kWidth, 100, GetParam());
    RowReader reader(console);
    Outcome run;
    run.Note(reader.Begin(false));
    for (size_t at = 0; at < line.size(); at += 1000) {
        console.Write(line.substr(at, 1000));
        run.Note(reader.Read(run.lines));
    }
    console.Write("\nnext\n");
    run.Note(reader.Finish(run.lines, run.lastHasLineEnd));
    EXPECT_EQ(FirstDifference(run.lines, {line.substr(0, RowReader::kLongestLine),
                                          line.substr(RowReader::kLongestLine), "next"}),
              "");
    EXPECT_TRUE(run.problems.empty());
}

INSTANTIATE_TEST_SUITE_P(Wraps, RowReaderTest, ::testing::Values(Wrap::kDelayed, Wrap::kImmediate),
                         [](const auto &info) {
                             return info.param == Wrap::kDelayed ? "Wine" : "Windows";
                         });

TEST(RowReader, ABufferFullBeforeTheFirstReadIsReported)
{
    FakeConsole console(kWidth, 40, Wrap::kDelayed);
    RowReader reader(console);
    EXPECT_EQ(reader.Begin(true).kind, ReadProblem::kLost);
    for (unsigned i = 0; i < 60; i++)
        console.Write(LineOf(10, i) + "\n");
    RowReader fresh(console);
    std::vector<std::string> lines;
    EXPECT_FALSE(fresh.Begin(false));
    EXPECT_EQ(fresh.Read(lines).kind, ReadProblem::kLost);
}

} // namespace
