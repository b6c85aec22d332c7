#include "runner/follow.h"

#include "runner/screen.h"

namespace {

// From the helper, one a line: a letter, its text, a line feed. Console rows hold no line feed.
enum Record : char {
    kAttached = 'A', // the program has a console of its own, and the helper is in it
    kLine = 'L',
    kTail = 'T', // the last line, not ended yet
    kError = 'E',
    kDone = 'D',
};
// To the helper: a letter, and for kType the character to type.
enum Command : char { kType = 'T', kFinish = 'F' };

const DWORD kIdleMs = 5, kAttachMs = 10, kFinishMs = 10000;

bool Ended(HANDLE process) { return WaitForSingleObject(process, 0) != WAIT_TIMEOUT; }

// Bytes that the pipe holds now, without waiting; false when the other end has gone.
bool TakeAvailable(HANDLE pipe, std::string &into)
{
    DWORD available = 0;
    if (!PeekNamedPipe(pipe, NULL, 0, NULL, &available, NULL))
        return false;
    if (available == 0)
        return true;
    size_t at = into.size();
    into.resize(at + available);
    DWORD read = 0;
    if (!ReadFile(pipe, &into[at], available, &read, NULL))
        return false;
    into.resize(at + read);
    return true;
}

bool WriteAll(HANDLE pipe, const std::string &bytes)
{
    DWORD written = 0;
    return WriteFile(pipe, bytes.data(), (DWORD)bytes.size(), &written, NULL) &&
           written == bytes.size();
}

// The helper's pipes to mirdu-run: its standard handles as they were before any attaching.
class Channel {
public:
    Channel() : commands_(GetStdHandle(STD_INPUT_HANDLE)), records_(GetStdHandle(STD_OUTPUT_HANDLE))
    {
    }
    bool Send(char kind, const std::string &text = "")
    {
        return WriteAll(records_, kind + text + "\n");
    }
    // The lines of one read in one write: the console scrolls on meanwhile.
    bool SendLines(const std::vector<std::string> &lines, bool lastIsTail)
    {
        std::string records;
        for (size_t i = 0; i < lines.size(); i++) {
            records += lastIsTail && i + 1 == lines.size() ? kTail : kLine;
            records += lines[i] + "\n";
        }
        return records.empty() || WriteAll(records_, records);
    }
    // Adds the keys to type that came; false when mirdu-run has gone.
    bool Poll(std::string &keys, bool &finish)
    {
        if (!TakeAvailable(commands_, pending_))
            return false;
        size_t at = 0;
        for (; at < pending_.size(); at++) {
            if (pending_[at] == kFinish)
                finish = true;
            else if (pending_[at] == kType && at + 1 < pending_.size())
                keys += pending_[++at];
            else if (pending_[at] == kType)
                break; // its character comes with the next read
        }
        pending_.erase(0, at);
        return true;
    }

private:
    HANDLE commands_, records_;
    std::string pending_;
};

struct Follower {
    DWORD pid;
    HANDLE process;
    bool interactive;
    Channel channel;
    std::string keys; // to type once the program has a console
    bool finish = false;

    // Reads the console the helper is attached to until the program leaves it or the run
    // ends; false when mirdu-run has gone.
    bool FollowOne()
    {
        if (!channel.Send(kAttached))
            return false;
        HWND window = GetConsoleWindow();
        if (window && !interactive)
            ShowWindow(window, SW_HIDE);
        UniqueHandle input(OpenConsole(L"CONIN$"));
        ConsoleScreen screen;
        Failure failure = screen.Open(ConsoleScreen::kOpenedColumns, ConsoleScreen::kOpenedRows);
        if (!failure)
            failure = screen.BeginAtTop();
        bool readable = !failure, reported = false;
        bool busy = false;
        for (;;) {
            // Once the program has left, the console holds all it will get: read to its end.
            // While lines come it is still there: the reading goes first.
            bool left = finish || (!busy && (Ended(process) || !InThisConsole(pid)));
            std::vector<std::string> lines;
            bool lastHasLineEnd = true;
            if (readable) {
                Failure read = left ? screen.Finish(lines, lastHasLineEnd) : screen.Read(lines);
                failure = failure ? failure : read;
            }
            if (failure && !reported) {
                reported = true;
                if (!channel.Send(kError, Utf8(failure.message)))
                    return false;
            }
            if (!channel.SendLines(lines, finish && !lastHasLineEnd))
                return false;
            if (left) {
                screen.Restore();
                return true;
            }
            for (char key : keys)
                TypeKey(input.get(), key);
            keys.clear();
            if (!channel.Poll(keys, finish))
                return false;
            busy = !lines.empty();
            if (!busy)
                Sleep(kIdleMs);
        }
    }

    int Run()
    {
        for (;;) {
            if (!channel.Poll(keys, finish))
                return 1;
            if (finish)
                return channel.Send(kDone) ? 0 : 1;
            if (!Ended(process) && AttachConsole(pid)) {
                if (!FollowOne())
                    return 1;
                FreeConsole();
                continue;
            }
            Sleep(kAttachMs);
        }
    }
};

} // namespace

bool InThisConsole(DWORD pid)
{
    DWORD pids[64];
    DWORD count = GetConsoleProcessList(pids, ARRAYSIZE(pids));
    for (DWORD i = 0; i < count && i < ARRAYSIZE(pids); i++)
        if (pids[i] == pid)
            return true;
    return count > ARRAYSIZE(pids); // too many to tell: taken as there
}

int FollowConsoles(DWORD pid, bool interactive)
{
    UniqueHandle process(OpenProcess(SYNCHRONIZE, FALSE, pid));
    if (!process.valid())
        return kExitRunner;
    // Ctrl+C in the program's console is for the program; mirdu-run has its own.
    SetConsoleCtrlHandler(NULL, TRUE);
    FreeConsole();
    Follower follower{pid, process.get(), interactive, Channel(), "", false};
    return follower.Run();
}

Failure ConsoleFollower::Start(DWORD pid, bool interactive)
{
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, NULL, TRUE};
    HANDLE commandsIn, commandsOut, recordsIn, recordsOut;
    if (!CreatePipe(&commandsIn, &commandsOut, &inherit, 0))
        return Fail(kExitRunner, L"cannot make a pipe: " + SystemMessage(GetLastError()));
    UniqueHandle helperCommands(commandsIn);
    commands_.reset(commandsOut);
    if (!CreatePipe(&recordsIn, &recordsOut, &inherit, 1 << 16))
        return Fail(kExitRunner, L"cannot make a pipe: " + SystemMessage(GetLastError()));
    UniqueHandle helperRecords(recordsOut);
    records_.reset(recordsIn);
    SetHandleInformation(commands_.get(), HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(records_.get(), HANDLE_FLAG_INHERIT, 0);

    std::vector<std::wstring> args = {L"--follow-console", std::to_wstring(pid)};
    if (interactive)
        args.push_back(L"--interactive");
    StandardHandles handles;
    handles.input = helperCommands.get();
    handles.output = helperRecords.get();
    if (Failure failure = helper_.Start(ThisProgram(), args, handles, true))
        return Fail(kExitRunner, L"cannot start the console reader: " + failure.message);
    return {};
}

bool ConsoleFollower::Send(const std::string &command)
{
    return commands_.valid() && WriteAll(commands_.get(), command);
}

bool ConsoleFollower::Receive(std::vector<std::string> &lines, bool &lastHasLineEnd,
                              bool untilDone)
{
    ULONGLONG deadline = GetTickCount64() + kFinishMs;
    for (;;) {
        bool open = TakeAvailable(records_.get(), pending_);
        size_t start = 0, end;
        while ((end = pending_.find('\n', start)) != std::string::npos) {
            char kind = pending_[start];
            std::string text = pending_.substr(start + 1, end - start - 1);
            start = end + 1;
            if (kind == kAttached)
                followed_ = true;
            else if (kind == kLine || kind == kTail)
                lines.push_back(text), lastHasLineEnd = kind == kLine;
            else if (kind == kError && !failure_)
                failure_ = Fail(kExitRunner, FromUtf8(text));
            else if (kind == kDone)
                done_ = true;
        }
        pending_.erase(0, start);
        if (!untilDone || done_ || !open)
            return open || done_;
        if (GetTickCount64() >= deadline)
            return false;
        Sleep(kIdleMs);
    }
}

Failure ConsoleFollower::Read(std::vector<std::string> &lines)
{
    bool lastHasLineEnd = true;
    if (started() && !Receive(lines, lastHasLineEnd, false) && !failure_)
        failure_ = Fail(kExitRunner, L"the console reader stopped before the run's end");
    return failure_;
}

Failure ConsoleFollower::Finish(std::vector<std::string> &lines, bool &lastHasLineEnd)
{
    lastHasLineEnd = true;
    if (!started() || done_)
        return failure_;
    if ((!Send(std::string(1, kFinish)) || !Receive(lines, lastHasLineEnd, true)) && !failure_)
        failure_ = Fail(kExitRunner, L"the console reader did not finish: lines may be missing "
                                     L"from the log");
    Stop();
    return failure_;
}

void ConsoleFollower::Type(char key) { Send(std::string{kType, key}); }

void ConsoleFollower::Stop()
{
    commands_.reset(); // the helper ends when its pipe breaks
    if (started() && WaitForSingleObject(helper_.process(), 1000) == WAIT_TIMEOUT)
        helper_.EndAll(kExitRunner);
}
