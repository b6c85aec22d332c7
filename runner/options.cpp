// The options of tools/mirdu/contract.py, as the Linux runner takes them: options first, "--"
// or the program's name ends them, everything after the program goes to it as it stands, and
// a flag is taken whole, never by an abbreviation.
#include "runner/options.h"

#include <algorithm>
#include <cwchar>
#include <cwctype>
#include <iterator>

#include "runner/host.h"
#include "runner/image.h"
#include "runner/paths.h"
#include "runner/preload.h"
#include "runner/report.h"
#include "runner/stepparse.h"

namespace {

ParseResult Bad(const std::wstring &message)
{
    if (HostChannel::Get())
        return Say(L"error: " + message), kBadOptions;
    WriteError(kUsageText);
    WriteError(L"mirdu-run: error: " + message + L"\n");
    return kBadOptions;
}

// A file name that ends in .dll and names no folder: what LoadLibrary is given.
bool IsDllName(const std::wstring &name)
{
    if (name.size() < 5 || name[0] == L'.' || name.find_first_of(L"\\/:*?\"<>|") != name.npos)
        return false;
    std::wstring end = name.substr(name.size() - 4);
    for (wchar_t &c : end)
        c = std::towlower(c);
    return end == L".dll";
}

bool ParseSeconds(const std::wstring &text, double &seconds)
{
    wchar_t *end = nullptr;
    seconds = std::wcstod(text.c_str(), &end);
    return !text.empty() && *end == 0 && seconds > 0 && seconds < 1e9;
}

// The steps of --do STEP or --steps FILE, each checked; false with why when one is no step.
bool AddSteps(const std::wstring &flag, const std::wstring &value,
              std::vector<std::wstring> &steps, std::wstring &why)
{
    std::vector<std::pair<unsigned, std::wstring>> lines;
    if (flag == L"--do")
        lines.emplace_back(0, value);
    else if (Failure failure = ReadStepsFile(FullPath(value), lines))
        return why = L"argument --steps: " + failure.message, false;
    for (const auto &line : lines) {
        Step step;
        std::wstring wrong = ParseStep(line.second, step);
        if (!wrong.empty())
            return why = L"argument " + flag + L": " +
                         (line.first ? value + L" line " + std::to_wstring(line.first) + L": "
                                     : L"") +
                         L"'" + line.second + L"': " + wrong,
                   false;
        steps.push_back(line.second);
    }
    return true;
}

// A --preload, checked as it is given; it implies --memory.
bool AddPreload(const std::wstring &value, Options &options, std::wstring &why)
{
    PreloadSource source;
    if (!ParsePreloadSource(value, source, why))
        return why = L"argument --preload: " + why, false;
    options.preloads.push_back(value);
    options.memory = true;
    return true;
}


// Values that are checked once all options are in.
struct Given {
    std::wstring timeout, stepTimeout;
};

const OptionEntry *FindOption(const std::wstring &flag)
{
    const auto *entry = std::find_if(std::begin(kOptionTable), std::end(kOptionTable),
                                     [&](const OptionEntry &o) { return flag == o.flag; });
    return entry == std::end(kOptionTable) ? nullptr : entry;
}

// The option at argv[i] and its value, from "--flag=value" or the next word; i moves past
// what was taken. False with why when it is none or its value is missing.
bool TakeOption(int argc, wchar_t **argv, int &i, const OptionEntry *&entry, std::wstring &value,
                std::wstring &why)
{
    std::wstring arg = argv[i];
    size_t equals = arg.find(L'=');
    std::wstring flag = arg.substr(0, equals);
    entry = FindOption(flag);
    if (!entry || (!entry->takesValue && equals != std::wstring::npos))
        return why = L"unrecognized arguments: " + arg, false;
    if (!entry->takesValue)
        return true;
    if (equals != std::wstring::npos)
        value = arg.substr(equals + 1);
    else if (i + 1 < argc)
        value = argv[++i];
    else
        return why = L"argument " + flag + L": expected one argument", false;
    return true;
}

// Puts an option's value where it belongs; false with why when it is wrong.
bool Apply(const OptionEntry &entry, const std::wstring &value, Options &options, Given &given,
           ProcessChanges &changes, std::wstring &why)
{
    switch (entry.id) {
    case OptionId::kCaptures: options.captures = value; break;
    case OptionId::kLog: options.log = value; break;
    case OptionId::kTrace: options.trace = value; break;
    case OptionId::kImage: options.image = value; break;
    case OptionId::kScreenshot: options.screenshot = value; break;
    case OptionId::kDll: options.dll = value; break;
    case OptionId::kAs: options.name = value; break;
    case OptionId::kTimeout: given.timeout = value; break;
    case OptionId::kStepTimeout: given.stepTimeout = value; break;
    case OptionId::kInteractive: options.interactive = true; break;
    case OptionId::kMemory: options.memory = true; break;
    case OptionId::kPreload: return AddPreload(value, options, why);
    case OptionId::kHost: options.host = true; break;
    case OptionId::kDo:
    case OptionId::kSteps: return AddSteps(entry.flag, value, options.steps, why);
    // The folder that relative paths start from, as the Linux runner's user has it: the one
    // that Wine gave mirdu-run.exe at its start may be on a drive that a run remaps.
    case OptionId::kCwd:
        if (!changes.SetFolder(FullPath(value)))
            return why = L"argument --cwd: no folder " + value, false;
        break;
    default: break;
    }
    if (entry.runners == Runners::kLinux)
        WriteError(std::wstring(L"mirdu-run: ") + entry.flag +
                   L" is for the Linux runner (Wine): ignored on Windows\n");
    return true;
}

// The checks of values that stand alone, once the program is known; paths made full.
ParseResult CheckValues(const Given &given, Options &options)
{
    if (!given.timeout.empty() && !ParseSeconds(given.timeout, options.timeout))
        return Bad(L"argument --timeout: wants a number of seconds above 0, not '" +
                   given.timeout + L"'");
    if (!given.stepTimeout.empty() && !ParseSeconds(given.stepTimeout, options.stepTimeout))
        return Bad(L"argument --step-timeout: wants a number of seconds above 0, not '" +
                   given.stepTimeout + L"'");
    ImageFormat format;
    if (!options.image.empty() && !ImageFormatOf(options.image, format))
        return Bad(L"argument --image: cannot tell the format from the name '" + options.image +
                   L"': name it .hex or .ihex (Intel HEX) or .bin (raw binary)");
    if (!IsDllName(options.name))
        return Bad(L"--as wants a file name ending in .dll, not '" + options.name + L"'");
    for (std::wstring *path : {&options.captures, &options.log, &options.trace, &options.image,
                               &options.screenshot, &options.dll})
        if (!path->empty())
            *path = FullPath(*path);
    return kParsed;
}

} // namespace

ParseResult ParseOptions(int argc, wchar_t **argv, Options &options, ProcessChanges &changes)
{
    Given given;
    std::wstring why;
    int i = 1;
    for (; i < argc; i++) {
        std::wstring arg = argv[i];
        if (arg == L"--") {
            i++;
            break;
        }
        if (arg == L"-h" || arg == L"--help") {
            WriteOutput(std::wstring(kUsageText) + kHelpText);
            return kHelpShown;
        }
        if (arg.size() < 2 || arg[0] != L'-')
            break;
        const OptionEntry *entry = nullptr;
        std::wstring value;
        if (!TakeOption(argc, argv, i, entry, value, why) ||
            !Apply(*entry, value, options, given, changes, why))
            return Bad(why);
    }
    if (i >= argc)
        return Bad(L"no PROGRAM.exe to run");
    options.program = argv[i];
    options.args.assign(argv + i + 1, argv + argc);
    return CheckValues(given, options);
}
