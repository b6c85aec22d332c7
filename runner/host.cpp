#include "runner/host.h"

#include "runner/report.h"

namespace {

HostChannel *g_channel = nullptr;

const char *const kVerbs[] = {"keys", "do", "stop", "answer", "run", "quit"};

// One command: an object whose first known key is its verb, with that key's value.
bool ParseCommand(const std::string &line, HostCommand &command)
{
    JsonObject object;
    if (!ParseJsonObject(line, object))
        return false;
    for (const char *verb : kVerbs) {
        auto found = object.find(verb);
        if (found == object.end())
            continue;
        command.verb = verb;
        const JsonValue &value = found->second;
        command.text = FromUtf8(value.text);
        if (command.verb == "stop") {
            command.status = (int)value.number;
            command.text = FromUtf8(TextOf(object, "why"));
        }
        for (const std::string &arg : value.items)
            command.args.push_back(FromUtf8(arg));
        return true;
    }
    return false;
}

} // namespace

HostChannel *HostChannel::Get() { return g_channel; }

void HostChannel::Open()
{
    if (g_channel)
        return;
    auto channel = new HostChannel(); // never destroyed: its thread may read until the end
    HANDLE input;
    if (!DuplicateHandle(GetCurrentProcess(), GetStdHandle(STD_INPUT_HANDLE), GetCurrentProcess(),
                         &input, 0, FALSE, DUPLICATE_SAME_ACCESS))
        input = NULL;
    channel->input_.reset(input);
    HANDLE output;
    if (!DuplicateHandle(GetCurrentProcess(), GetStdHandle(STD_OUTPUT_HANDLE), GetCurrentProcess(),
                         &output, 0, FALSE, DUPLICATE_SAME_ACCESS))
        output = NULL;
    channel->output_.reset(output);
    channel->arrived_.reset(CreateEventW(NULL, FALSE, FALSE, NULL));
    InitializeCriticalSection(&channel->lock_);
    channel->thread_.reset(CreateThread(NULL, 0, ReadInput, channel, 0, NULL));
    g_channel = channel;
}

void HostChannel::Add(const std::string &line)
{
    HostCommand command;
    if (line.empty() || !ParseCommand(line, command)) {
        if (!line.empty())
            Send("{\"say\": " + JsonString("a command from the Linux runner that is none: " +
                                           line) + "}");
        return;
    }
    EnterCriticalSection(&lock_);
    commands_.push_back(command);
    LeaveCriticalSection(&lock_);
    SetEvent(arrived_.get());
}

DWORD WINAPI HostChannel::ReadInput(void *self)
{
    auto channel = (HostChannel *)self;
    std::string pending;
    char buffer[4096];
    DWORD read = 0;
    while (channel->input_.valid() &&
           ReadFile(channel->input_.get(), buffer, sizeof buffer, &read, NULL) && read > 0) {
        pending.append(buffer, read);
        size_t end;
        while ((end = pending.find('\n')) != std::string::npos) {
            std::string line = pending.substr(0, end);
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            pending.erase(0, end + 1);
            channel->Add(line);
        }
    }
    EnterCriticalSection(&channel->lock_);
    channel->ended_ = true;
    LeaveCriticalSection(&channel->lock_);
    SetEvent(channel->arrived_.get());
    return 0;
}

bool HostChannel::Next(HostCommand &command)
{
    EnterCriticalSection(&lock_);
    bool any = !commands_.empty();
    if (any) {
        command = commands_.front();
        commands_.pop_front();
    }
    LeaveCriticalSection(&lock_);
    return any;
}

bool HostChannel::ended()
{
    EnterCriticalSection(&lock_);
    bool ended = ended_ && commands_.empty();
    LeaveCriticalSection(&lock_);
    return ended;
}

bool HostChannel::Ask(const std::string &question, std::wstring &answer, DWORD waitMs,
                      const std::string &more)
{
    Send("{\"ask\": " + JsonString(question) + more + "}");
    ULONGLONG deadline = GetTickCount64() + waitMs;
    for (;;) {
        EnterCriticalSection(&lock_);
        bool found = false, over = ended_;
        for (auto it = commands_.begin(); it != commands_.end(); ++it)
            if (it->verb == "answer") {
                answer = it->text;
                commands_.erase(it);
                found = true;
                break;
            }
        bool others = !commands_.empty();
        LeaveCriticalSection(&lock_);
        ULONGLONG now = GetTickCount64();
        if (found || over || now >= deadline) {
            if (others)
                SetEvent(arrived_.get()); // for the loop that takes the other commands
            return found;
        }
        WaitForSingleObject(arrived_.get(), (DWORD)(deadline - now));
    }
}

void HostChannel::SendLines(const std::string &events)
{
    DWORD written;
    if (output_.valid() && !events.empty())
        WriteFile(output_.get(), events.data(), (DWORD)events.size(), &written, NULL);
}
