#include "runner/host.h"

#include <cstdio>
#include <cstdlib>

#include "runner/report.h"

namespace {

HostChannel *g_channel = nullptr;

// A JSON string at text[at] (at its opening quote), as UTF-8; at ends past its closing quote.
bool ParseString(const std::string &text, size_t &at, std::string &utf8)
{
    if (at >= text.size() || text[at] != '"')
        return false;
    utf8.clear();
    for (at++; at < text.size(); at++) {
        char c = text[at];
        if (c == '"') {
            at++;
            return true;
        }
        if (c != '\\') {
            utf8 += c;
            continue;
        }
        if (++at >= text.size())
            return false;
        switch (text[at]) {
        case 'n': utf8 += '\n'; break;
        case 'r': utf8 += '\r'; break;
        case 't': utf8 += '\t'; break;
        case 'b': utf8 += '\b'; break;
        case 'f': utf8 += '\f'; break;
        case 'u': {
            if (at + 4 >= text.size())
                return false;
            unsigned code = (unsigned)strtoul(text.substr(at + 1, 4).c_str(), nullptr, 16);
            at += 4;
            // Within the Basic Multilingual Plane, which is all that keys and steps need.
            if (code < 0x80) {
                utf8 += (char)code;
            } else if (code < 0x800) {
                utf8 += (char)(0xC0 | (code >> 6));
                utf8 += (char)(0x80 | (code & 0x3F));
            } else {
                utf8 += (char)(0xE0 | (code >> 12));
                utf8 += (char)(0x80 | ((code >> 6) & 0x3F));
                utf8 += (char)(0x80 | (code & 0x3F));
            }
            break;
        }
        default: utf8 += text[at]; break; // \" \\ \/
        }
    }
    return false;
}

void SkipSpaces(const std::string &text, size_t &at)
{
    while (at < text.size() && (text[at] == ' ' || text[at] == '\t'))
        at++;
}

// One command line: a verb, then its values.
bool ParseCommand(const std::string &line, HostCommand &command)
{
    size_t at = line.find(' ');
    command.verb = line.substr(0, at);
    at = at == std::string::npos ? line.size() : at;
    SkipSpaces(line, at);
    std::string value;
    if (command.verb == "stop") {
        char *end = nullptr;
        command.status = (int)strtol(line.c_str() + at, &end, 10);
        at = end - line.c_str();
        SkipSpaces(line, at);
    }
    if (command.verb == "run") {
        if (at >= line.size() || line[at] != '[')
            return false;
        for (at++, SkipSpaces(line, at); at < line.size() && line[at] != ']';) {
            if (!ParseString(line, at, value))
                return false;
            command.args.push_back(FromUtf8(value));
            SkipSpaces(line, at);
            if (at < line.size() && line[at] == ',')
                at++;
            SkipSpaces(line, at);
        }
        return at < line.size();
    }
    if (at < line.size()) {
        if (!ParseString(line, at, value))
            return false;
        command.text = FromUtf8(value);
    }
    return true;
}

} // namespace

std::string JsonString(const std::string &utf8)
{
    std::string out = "\"";
    for (unsigned char c : utf8) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += (char)c;
        } else if (c < 0x20) {
            char escape[8];
            snprintf(escape, sizeof escape, "\\u%04x", c);
            out += escape;
        } else {
            out += (char)c;
        }
    }
    return out + "\"";
}

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
