#include "runner/trace.h"

#include <cstdio>

#include "runner/host.h"

namespace {

const char *EventOf(LogLine::Kind kind)
{
    switch (kind) {
    case LogLine::kBanner: return kEventBanner;
    case LogLine::kPrompt: return kEventPrompt;
    case LogLine::kError: return kEventError;
    default: return nullptr;
    }
}

// The event field of a record, of a kind of the contract's (contract.h).
std::string Event(const char *kind) { return std::string(", \"event\": \"") + kind + "\""; }

} // namespace

Failure Trace::Open(const std::wstring &path) { return CreateRunFile(path, L"trace", file_); }

void Trace::Start()
{
    QueryPerformanceFrequency(&frequency_);
    QueryPerformanceCounter(&start_);
}

std::string Trace::Begin() const
{
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    double seconds = frequency_.QuadPart
                         ? (double)(now.QuadPart - start_.QuadPart) / frequency_.QuadPart
                         : 0;
    char text[48];
    snprintf(text, sizeof text, "{\"t\": %.3f", seconds);
    return text;
}

// To the file, and as events to the Linux runner, which shows the lines.
void Trace::Write(const std::string &records)
{
    DWORD written;
    if (file_.valid() && !records.empty())
        WriteFile(file_.get(), records.data(), (DWORD)records.size(), &written, NULL);
    if (HostChannel *host = HostChannel::Get())
        host->SendLines(records);
}

void Trace::Lines(const std::vector<std::string> &lines, const std::vector<LogLine> &parsed,
                  bool lastHasLineEnd)
{
    if (!file_.valid() && !HostChannel::Get())
        return;
    std::string records, begin = Begin();
    for (size_t i = 0; i < lines.size(); i++) {
        const LogLine &line = parsed[i];
        records += begin + ", \"line\": " + JsonString(Utf8(Widen(lines[i]))); // console's code page
        if (line.kind == LogLine::kCall) {
            records += ", \"call\": " + JsonString(line.call) + ", \"args\": {";
            for (size_t a = 0; a < line.args.size(); a++)
                records += (a ? ", " : "") + JsonString(line.args[a].first) + ": " +
                           JsonString(line.args[a].second);
            records += "}";
            if (!line.capture.empty())
                records += ", \"capture\": " + JsonString(line.capture);
        } else if (const char *event = EventOf(line.kind)) {
            records += Event(event);
        }
        if (i + 1 == lines.size() && !lastHasLineEnd)
            records += ", \"open\": true";
        records += "}\n";
    }
    Write(records);
}

void Trace::Key() { Write(Begin() + Event(kEventKey) + "}\n"); }

void Trace::Window(const std::wstring &line)
{
    Write(Begin() + Event(kEventWindow) + ", \"line\": " + JsonString(Utf8(line)) + "}\n");
}

void Trace::Step(const StepResult &step)
{
    char head[96];
    snprintf(head, sizeof head,
             ", \"event\": \"%s\", \"step\": %u, \"ok\": %s, \"seconds\": %.3f", kEventStep,
             step.number, step.ok ? "true" : "false", step.seconds);
    std::string record = Begin() + head + ", \"text\": " + JsonString(Utf8(step.text));
    if (step.acted)
        record += ", \"control\": {\"class\": " + JsonString(Utf8(step.controlClass)) +
                  ", \"id\": " + std::to_string(step.controlId) +
                  ", \"text\": " + JsonString(Utf8(step.controlText)) + "}";
    if (!step.item.empty())
        record += ", \"item\": {\"text\": " + JsonString(Utf8(step.item)) +
                  (step.itemId >= 0 ? std::string(step.verb == Step::kMenu ? ", \"id\": "
                                                                           : ", \"index\": ") +
                                          std::to_string(step.itemId)
                                    : "") +
                  "}";
    if (step.checked >= 0)
        record += std::string(", \"checked\": ") + (step.checked ? "true" : "false") +
                  ", \"changed\": " + (step.changed ? "true" : "false");
    const std::pair<const char *, const std::wstring *> more[] = {
        {"keys", &step.keys}, {"box", &step.box}, {"found", &step.found}, {"why", &step.why}};
    for (const auto &field : more)
        if (!field.second->empty())
            record += std::string(", \"") + field.first + "\": " + JsonString(Utf8(*field.second));
    Write(record + "}\n");
}

void Trace::Captures(const std::vector<std::pair<std::wstring, unsigned long long>> &files)
{
    std::string record = Begin() + Event(kEventCaptures) + ", \"files\": [";
    for (size_t i = 0; i < files.size(); i++)
        record += (i ? ", {\"name\": " : "{\"name\": ") + JsonString(Utf8(files[i].first)) +
                  ", \"size\": " + std::to_string(files[i].second) + "}";
    Write(record + "]}\n");
}

void Trace::Exit(int status, const std::wstring &ended, bool own, long long readBack)
{
    std::string memory =
        readBack < 0 ? "" : ", \"memory\": {\"read_back\": " + std::to_string(readBack) + "}";
    Write(Begin() + Event(kEventExit) + ", \"status\": " + std::to_string(status) +
          ", \"ended\": " + JsonString(Utf8(ended)) + (own ? ", \"program\": true" : "") +
          memory + "}\n");
}
