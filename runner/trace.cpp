#include "runner/trace.h"

#include <cstdio>

namespace {

// A JSON string of UTF-8 text.
std::string Quoted(const std::string &utf8)
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

const char *EventOf(LogLine::Kind kind)
{
    switch (kind) {
    case LogLine::kBanner: return "banner";
    case LogLine::kPrompt: return "prompt";
    case LogLine::kError: return "error";
    default: return nullptr;
    }
}

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

void Trace::Write(const std::string &records)
{
    DWORD written;
    if (file_.valid() && !records.empty())
        WriteFile(file_.get(), records.data(), (DWORD)records.size(), &written, NULL);
}

void Trace::Lines(const std::vector<std::string> &lines, const std::vector<LogLine> &parsed)
{
    if (!file_.valid())
        return;
    std::string records, begin = Begin();
    for (size_t i = 0; i < lines.size(); i++) {
        const LogLine &line = parsed[i];
        records += begin + ", \"line\": " + Quoted(Utf8(Widen(lines[i]))); // console's code page
        if (line.kind == LogLine::kCall) {
            records += ", \"call\": " + Quoted(line.call) + ", \"args\": {";
            for (size_t a = 0; a < line.args.size(); a++)
                records += (a ? ", " : "") + Quoted(line.args[a].first) + ": " +
                           Quoted(line.args[a].second);
            records += "}";
            if (!line.capture.empty())
                records += ", \"capture\": " + Quoted(line.capture);
        } else if (const char *event = EventOf(line.kind)) {
            records += std::string(", \"event\": \"") + event + "\"";
        }
        records += "}\n";
    }
    Write(records);
}

void Trace::Key() { Write(Begin() + ", \"event\": \"key\"}\n"); }

void Trace::Window(const std::wstring &line)
{
    Write(Begin() + ", \"event\": \"window\", \"line\": " + Quoted(Utf8(line)) + "}\n");
}

void Trace::Step(const StepResult &step)
{
    char head[96];
    snprintf(head, sizeof head,
             ", \"event\": \"step\", \"step\": %u, \"ok\": %s, \"seconds\": %.3f",
             step.number, step.ok ? "true" : "false", step.seconds);
    std::string record = Begin() + head + ", \"text\": " + Quoted(Utf8(step.text));
    if (step.acted)
        record += ", \"control\": {\"class\": " + Quoted(Utf8(step.controlClass)) +
                  ", \"id\": " + std::to_string(step.controlId) +
                  ", \"text\": " + Quoted(Utf8(step.controlText)) + "}";
    const std::pair<const char *, const std::wstring *> more[] = {
        {"box", &step.box}, {"found", &step.found}, {"why", &step.why}};
    for (const auto &field : more)
        if (!field.second->empty())
            record += std::string(", \"") + field.first + "\": " + Quoted(Utf8(*field.second));
    Write(record + "}\n");
}

void Trace::Exit(int status, const std::wstring &ended)
{
    Write(Begin() + ", \"event\": \"exit\", \"status\": " + std::to_string(status) +
          ", \"ended\": " + Quoted(Utf8(ended)) + "}\n");
}
