#include "runner/follow.h"

#include "runner/json.h"

namespace {

// From the helper, one JSON object a line (json.h): {"ready": true} once it watches the
// program, {"attached": true} once it is in a console of the program's, {"line": TEXT} for
// each line read, {"tail": TEXT} for a last line not ended yet, {"error": MESSAGE}, and
// {"done": true}. To the helper: {"type": KEY} and {"finish": true}. Texts are the console's
// bytes.
std::string Record(const char *kind, const std::string &text)
{
    return std::string("{\"") + kind + "\": " + JsonString(text) + "}\n";
}
std::string Flag(const char *kind) { return std::string("{\"") + kind + "\": true}\n"; }

// Between polls: while the program has no console, the helper looks often, for the moment
// between a console's making and the program's end may be short.
const DWORD kIdleMs = 5, kAttachMs = 1, kReplyMs = 10000;
// How long a helper whose pipe broke may take to be seen ended.
const DWORD kEndingMs = 1000;

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

// The complete lines of what was taken, as objects; the start of one not yet complete stays.
std::vector<JsonObject> TakeObjects(std::string &pending)
{
    std::vector<JsonObject> objects;
    size_t start = 0, end;
    while ((end = pending.find('\n', start)) != std::string::npos) {
        JsonObject object;
        if (ParseJsonObject(pending.substr(start, end - start), object))
            objects.push_back(object);
        start = end + 1;
    }
    pending.erase(0, start);
    return objects;
}

// The helper's pipes to mirdu-run: its standard handles.
class Channel {
public:
    Channel() : commands_(GetStdHandle(STD_INPUT_HANDLE)), records_(GetStdHandle(STD_OUTPUT_HANDLE))
    {
    }
    bool Send(const std::string &record) { return WriteAll(records_, record); }
    // The lines of one read in one write: the console scrolls on meanwhile.
    bool SendLines(const std::vector<std::string> &lines, bool lastIsTail)
    {
        std::string records;
        for (size_t i = 0; i < lines.size(); i++)
            records += Record(lastIsTail && i + 1 == lines.size() ? "tail" : "line", lines[i]);
        return records.empty() || WriteAll(records_, records);
    }
    // Adds the keys to type that came; false when mirdu-run has gone.
    bool Poll(std::string &keys, bool &finish)
    {
        if (!TakeAvailable(commands_, pending_))
            return false;
        for (const JsonObject &command : TakeObjects(pending_)) {
            finish = finish || command.count("finish");
            keys += TextOf(command, "type");
        }
        return true;
    }

private:
    HANDLE commands_, records_;
    std::string pending_;
};

// Events of the program's console reach every process attached to it: they are the program's.
BOOL WINAPI IgnoreConsoleEvent(DWORD) { return TRUE; }

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

ConsoleFollower::ConsoleFollower(DWORD pid, HANDLE process, bool interactive)
    : pid_(pid), process_(process), interactive_(interactive), reader_(buffer_)
{
    static bool ignoring = SetConsoleCtrlHandler(IgnoreConsoleEvent, TRUE);
    (void)ignoring;
}

ConsoleFollower::~ConsoleFollower()
{
    if (attached_)
        LeaveConsole();
}

void ConsoleFollower::Keep(const ReadProblem &problem)
{
    if (problem && !failure_)
        failure_ = Fail(kExitRunner, L"the program's console: " + Widen(problem.what));
}

bool ConsoleFollower::Attach()
{
    if (Ended(process_) || !JoinConsole(pid_))
        return false;
    bool wasFull = false;
    if (!buffer_.Open(wasFull)) {
        Keep({ReadProblem::kBroken, "opening its screen buffer failed"});
        LeaveConsole();
        return false;
    }
    attached_ = followed_ = true;
    input_.reset(OpenConsole(L"CONIN$"));
    // A console made with a window (a GUI program's) is hidden; one made without has none.
    HWND window = GetConsoleWindow();
    if (window && !interactive_)
        ShowWindow(window, SW_HIDE);
    Keep(reader_.Begin(wasFull));
    return true;
}

// Reads the console to its end and leaves it: the program has left it, or ended.
void ConsoleFollower::Leave(std::vector<std::string> &lines)
{
    Keep(reader_.Finish(lines, lastHasLineEnd_));
    reader_.Restore();
    input_.reset();
    LeaveConsole();
    attached_ = false;
}

Failure ConsoleFollower::Poll(std::vector<std::string> &lines)
{
    if (!attached_ && !Attach())
        return failure_;
    if (!InThisConsole(pid_)) {
        Leave(lines);
        return failure_;
    }
    Keep(reader_.Read(lines));
    for (char key : keys_)
        TypeKey(input_.get(), key);
    keys_.clear();
    return failure_;
}

Failure ConsoleFollower::Finish(std::vector<std::string> &lines, bool &lastHasLineEnd)
{
    if (attached_)
        Leave(lines);
    lastHasLineEnd = lastHasLineEnd_;
    return failure_;
}

void ConsoleFollower::Type(char key)
{
    if (attached_)
        TypeKey(input_.get(), key);
    else
        keys_ += key;
}

int FollowConsoles(DWORD pid, bool interactive)
{
    UniqueHandle process(OpenProcess(SYNCHRONIZE, FALSE, pid));
    if (!process.valid())
        return kExitRunner;
    Channel channel;
    ConsoleFollower follower(pid, process.get(), interactive);
    if (!channel.Send(Flag("ready")))
        return kExitRunner;
    bool finish = false, announced = false, reported = false;
    for (;;) {
        std::string keys;
        if (!channel.Poll(keys, finish))
            return kExitRunner; // mirdu-run has gone
        for (char key : keys)
            follower.Type(key);
        std::vector<std::string> lines;
        bool lastHasLineEnd = true;
        Failure failure = finish ? follower.Finish(lines, lastHasLineEnd) : follower.Poll(lines);
        if (follower.followed() && !announced)
            announced = channel.Send(Flag("attached"));
        if (failure && !reported)
            reported = channel.Send(Record("error", Utf8(failure.message)));
        if (!channel.SendLines(lines, !lastHasLineEnd))
            return kExitRunner;
        if (finish)
            return channel.Send(Flag("done")) ? 0 : kExitRunner;
        if (lines.empty())
            Sleep(follower.attached() ? kIdleMs : kAttachMs);
    }
}

ConsoleReader::~ConsoleReader()
{
    local_.reset();
    commands_.reset(); // the helper ends when its pipe breaks
    if (helper_.process() && WaitForSingleObject(helper_.process(), 1000) == WAIT_TIMEOUT)
        helper_.EndAll(kExitRunner);
}

namespace {

// A pipe whose one end a child inherits (childEnd) and whose other end stays here.
Failure MakePipe(bool childReads, UniqueHandle &childEnd, UniqueHandle &ourEnd, DWORD size = 0)
{
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, NULL, TRUE};
    HANDLE read, write;
    if (!CreatePipe(&read, &write, &inherit, size))
        return Fail(kExitRunner, L"cannot make a pipe: " + SystemMessage(GetLastError()));
    childEnd.reset(childReads ? read : write);
    ourEnd.reset(childReads ? write : read);
    SetHandleInformation(ourEnd.get(), HANDLE_FLAG_INHERIT, 0);
    return {};
}

} // namespace

Failure ConsoleReader::Start(HANDLE process, bool inHelper, bool interactive)
{
    DWORD pid = GetProcessId(process);
    if (!inHelper) {
        local_.reset(new ConsoleFollower(pid, process, interactive));
        return {};
    }
    UniqueHandle helperCommands, helperRecords;
    if (Failure failure = MakePipe(true, helperCommands, commands_))
        return failure;
    if (Failure failure = MakePipe(false, helperRecords, records_, 1 << 16))
        return failure;
    std::vector<std::wstring> args = {L"--follow-console", std::to_wstring(pid)};
    if (interactive)
        args.push_back(L"--interactive");
    StandardHandles handles;
    handles.input = helperCommands.get();
    handles.output = helperRecords.get();
    if (Failure failure = helper_.Start(ThisProgram(), args, handles, DETACHED_PROCESS))
        return Fail(kExitRunner, L"cannot start the console reader: " + failure.message);
    helper_.Resume();
    return AwaitReady();
}

// The helper is ready once it watches the program, before the program runs.
Failure ConsoleReader::AwaitReady()
{
    ULONGLONG deadline = GetTickCount64() + kReplyMs;
    for (;;) {
        bool open = TakeAvailable(records_.get(), pending_);
        size_t end = pending_.find('\n');
        JsonObject first;
        if (end != std::string::npos && ParseJsonObject(pending_.substr(0, end), first) &&
            first.count("ready")) {
            pending_.erase(0, end + 1);
            return {};
        }
        if (!open || Ended(helper_.process()) || GetTickCount64() > deadline)
            return Fail(kExitRunner, L"the console reader did not start: " + HelperGone());
        Sleep(1);
    }
}

bool ConsoleReader::Send(const std::string &command)
{
    return commands_.valid() && WriteAll(commands_.get(), command);
}

bool ConsoleReader::Receive(std::vector<std::string> &lines, bool &lastHasLineEnd, bool untilDone)
{
    ULONGLONG deadline = GetTickCount64() + kReplyMs;
    for (;;) {
        bool open = TakeAvailable(records_.get(), pending_);
        for (const JsonObject &record : TakeObjects(pending_)) {
            followed_ = followed_ || record.count("attached");
            done_ = done_ || record.count("done");
            if (record.count("line")) {
                lines.push_back(TextOf(record, "line"));
                lastHasLineEnd = true;
            } else if (record.count("tail")) {
                lines.push_back(TextOf(record, "tail"));
                lastHasLineEnd = false;
            }
            if (record.count("error") && !failure_)
                failure_ = Fail(kExitRunner, FromUtf8(TextOf(record, "error")));
        }
        if (!untilDone || done_ || !open)
            return open || done_;
        if (GetTickCount64() >= deadline)
            return false;
        Sleep(1);
    }
}

Failure ConsoleReader::Read(std::vector<std::string> &lines)
{
    if (local_)
        return local_->Poll(lines);
    bool lastHasLineEnd = true;
    if (!helper_.process() || Receive(lines, lastHasLineEnd, false))
        return failure_;
    // The pipe breaks as the helper ends: the run says how it ended, once its handle tells.
    if (WaitForSingleObject(helper_.process(), kEndingMs) != WAIT_OBJECT_0 && !failure_)
        failure_ = Fail(kExitRunner, L"the console reader stopped before the run's end");
    return failure_;
}

Failure ConsoleReader::Finish(std::vector<std::string> &lines, bool &lastHasLineEnd)
{
    lastHasLineEnd = true;
    if (local_)
        return local_->Finish(lines, lastHasLineEnd);
    if (!helper_.process() || done_)
        return failure_;
    if ((!Send(Flag("finish")) || !Receive(lines, lastHasLineEnd, true)) && !failure_)
        failure_ = Fail(kExitRunner, L"the console reader did not finish: lines may be missing "
                                     L"from the log");
    return failure_;
}

void ConsoleReader::Type(char key)
{
    if (local_)
        local_->Type(key);
    else
        Send(Record("type", std::string(1, key)));
}

bool ConsoleReader::followed() const { return local_ ? local_->followed() : followed_; }

std::wstring ConsoleReader::HelperGone()
{
    DWORD code = STILL_ACTIVE;
    if (!helper_.process() || !GetExitCodeProcess(helper_.process(), &code) ||
        code == STILL_ACTIVE)
        return L"";
    return L"mirdu-run.exe --follow-console " + std::to_wstring(GetProcessId(helper_.process())) +
           L" ended with exit status " + std::to_wstring((int)code);
}
