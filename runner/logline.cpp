#include "runner/logline.h"

#include <cctype>
#include <cstdlib>

#include "runner/capturename.h"

namespace {

const char kBanner[] = "MIRDU.DLL Emulator (2000-07-09)";
const char kPrompt[] = "Press ENTER to close this window";

// The calls that print bare values, and the names the table of calls gives them.
struct BareValues {
    const char *call;
    std::vector<const char *> names;
};
const BareValues kBare[] = {
    {"KVTReset", {"flag"}}, {"ExpFn0000", {"a", "b"}}, {"ExpFn0005", {"a", "b", "c", "d"}}};

// "KVT" or "ExpFn", then letters and digits, alone or followed by " : ".
size_t CallNameLength(const std::string &line)
{
    size_t at = line.compare(0, 3, "KVT") == 0 ? 3 : line.compare(0, 5, "ExpFn") == 0 ? 5 : 0;
    size_t end = at;
    while (at > 0 && end < line.size() && isalnum((unsigned char)line[end]))
        end++;
    bool call = end > at && (end == line.size() || line.compare(end, 3, " : ") == 0);
    return call ? end : 0;
}

std::vector<std::string> Split(const std::string &text, const std::string &by)
{
    std::vector<std::string> parts;
    size_t at = 0, next;
    while ((next = text.find(by, at)) != std::string::npos) {
        parts.push_back(text.substr(at, next - at));
        at = next + by.size();
    }
    parts.push_back(text.substr(at));
    return parts;
}

void ParseValues(const std::string &values, LogLine &parsed)
{
    if (values.find(" = ") != std::string::npos) {
        for (const std::string &pair : Split(values, ", ")) {
            size_t equals = pair.find(" = ");
            if (equals != std::string::npos)
                parsed.args.emplace_back(pair.substr(0, equals), pair.substr(equals + 3));
        }
        return;
    }
    std::vector<std::string> bare = Split(values, " ");
    for (const BareValues &known : kBare)
        if (parsed.call == known.call)
            for (size_t i = 0; i < bare.size() && i < known.names.size(); i++)
                parsed.args.emplace_back(known.names[i], bare[i]);
}

std::string Arg(const LogLine &parsed, const char *name)
{
    for (const auto &arg : parsed.args)
        if (arg.first == name)
            return arg.second;
    return "";
}

} // namespace

LogLine LogReader::Next(const std::string &line)
{
    LogLine parsed;
    bool afterEmpty = previousEmpty_;
    previousEmpty_ = line.empty();
    if (line == kBanner) {
        parsed.kind = LogLine::kBanner;
        captures_ = 0;
    } else if (line == kPrompt && afterEmpty) {
        parsed.kind = LogLine::kPrompt;
    } else if (line == "Error creating file !" || line == "Error writing file !") {
        parsed.kind = LogLine::kError;
    } else if (size_t name = CallNameLength(line)) {
        parsed.kind = LogLine::kCall;
        parsed.call = line.substr(0, name);
        if (name < line.size())
            ParseValues(line.substr(name + 3), parsed);
        if (parsed.call == "KVTWrite" || parsed.call == "KVTSyncWrite")
            parsed.capture = FormatCaptureName(
                {(int32_t)captures_++,
                 parsed.call == "KVTWrite" ? WriteCall::kWrite : WriteCall::kSyncWrite,
                 (uint32_t)strtoul(Arg(parsed, "addr").c_str(), nullptr, 16)});
        if (parsed.call == "KVTRead" || parsed.call == "KVTSyncRead")
            readBack_ += strtoul(Arg(parsed, "len").c_str(), nullptr, 16);
    }
    return parsed;
}
