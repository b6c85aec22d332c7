// Parses options as the Linux runner's argparse does: options first, "--" or the program's
// name ends them, and everything after the program goes to it as it stands.
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

const wchar_t kUsage[] = L"usage: mirdu-run [OPTIONS] [--] PROGRAM.exe [ARGS...]\n";

const wchar_t kHelp[] =
    L"\n"
    L"Runs PROGRAM with ARGS and mirdu.dll in this console (or a hidden one when there is\n"
    L"none), reads the library's lines from the console and answers its closing prompt with\n"
    L"one key (--interactive leaves it to your keyboard). A GUI program gets no console, as\n"
    L"Windows starts it: its lines are read from the console that the library opens in it,\n"
    L"kept hidden (shown with --interactive). The lines go to standard output when that is\n"
    L"not the console; --log FILE keeps them as plain lines. The DLL is put under its name in\n"
    L"a folder of the run, first on the program's PATH; nothing is written into the\n"
    L"program's folder. A run that is ended (timeout, Ctrl+C, closed console, a step that\n"
    L"could not be done) first names the program's windows and their texts on standard error\n"
    L"and in the log. Steps (--do, --steps) click, fill and answer the program's windows as a\n"
    L"person would.\n"
    L"\n"
    L"options (the same for the Linux runner; those marked Linux are noted and ignored here):\n"
    L"  --captures DIR     drive F: is DIR for the run: mapped when F: is free; without it,\n"
    L"                     F: must exist (subst F: C:\\captures)\n"
    L"  --log FILE         also write the console's lines to FILE\n"
    L"  --trace FILE       the run as JSON Lines: one object for each console line and event\n"
    L"  --image FILE       after the run, the memory image of the capture files it wrote (no\n"
    L"                     others): FILE.hex or FILE.ihex Intel HEX, FILE.bin raw binary\n"
    L"  --screenshot FILE  a PNG picture of the program's windows as the run ends: at the\n"
    L"                     closing prompt, a timeout or a stop\n"
    L"  --dll PATH         the mirdu.dll to use (default: the one for the program's machine\n"
    L"                     type beside mirdu-run.exe, else the other build's: ..\\win32 or\n"
    L"                     ..\\win64\\mirdu.dll)\n"
    L"  --as NAME.dll      the name the program loads the library by (default mirdu.dll)\n"
    L"  --memory           the program's reads answer from a device memory of the run: what it\n"
    L"                     wrote there, else what was preloaded, else 0xFF (the library is\n"
    L"                     mirdu-memory.dll)\n"
    L"  --preload FILE     bytes that the device memory holds from the start, implies --memory\n"
    L"                     (repeatable; a later one wins): FILE.hex or FILE.ihex Intel HEX, or\n"
    L"                     FILE@ADDR, the file's bytes at ADDR (0x hex or decimal)\n"
    L"  --timeout SECONDS  end the program and all it started after that long (status 124)\n"
    L"  --interactive      leave the closing prompt to your keyboard\n"
    L"  --do STEP          a step that drives the program's windows, done in order while it\n"
    L"                     runs (repeatable): window TITLE, click NAME, fill NAME TEXT,\n"
    L"                     open PATH, answer BUTTON, wait TEXT, close\n"
    L"  --steps FILE       the steps in FILE, one a line; lines that start with # are comments\n"
    L"  --step-timeout SECONDS\n"
    L"                     how long a step waits for what it needs (default 60)\n"
    L"  --prefix DIR       Linux: the Wine prefix\n"
    L"  --linger SECONDS   Linux: keep the prefix's wineserver that long after the run\n"
    L"  --no-staging       Linux: drive F: is the capture folder itself during the run\n"
    L"  --display          Linux: show the program's windows on $DISPLAY\n"
    L"\n"
    L"exit status: the program's own; 123 when a step could not be done; 124 after --timeout;\n"
    L"125 when mirdu-run refuses or fails; 126 when PROGRAM is not a Windows program; 127 when\n"
    L"there is no PROGRAM; 2 for bad options; 130 after Ctrl+C, 129 when the console was\n"
    L"closed. A line on standard error tells calls logged, capture files written, the exit\n"
    L"status and the log's path; the image's path comes on a line before it.\n";

ParseResult Bad(const std::wstring &message)
{
    if (HostChannel::Get())
        return Say(L"error: " + message), kBadOptions;
    WriteError(kUsage);
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

} // namespace

ParseResult ParseOptions(int argc, wchar_t **argv, Options &options)
{
    std::wstring timeout, linuxOnly, step, stepsFile, stepTimeout, why, folder, preload;
    const struct {
        const wchar_t *flag;
        std::wstring *value; // null: a switch
        bool *on;
    } known[] = {{L"--captures", &options.captures, nullptr},
                 {L"--log", &options.log, nullptr},
                 {L"--trace", &options.trace, nullptr},
                 {L"--image", &options.image, nullptr},
                 {L"--screenshot", &options.screenshot, nullptr},
                 {L"--dll", &options.dll, nullptr},
                 {L"--as", &options.name, nullptr},
                 {L"--memory", nullptr, &options.memory},
                 {L"--preload", &preload, nullptr},
                 {L"--timeout", &timeout, nullptr},
                 {L"--interactive", nullptr, &options.interactive},
                 {L"--do", &step, nullptr},
                 {L"--steps", &stepsFile, nullptr},
                 {L"--step-timeout", &stepTimeout, nullptr},
                 {L"--host", nullptr, &options.host},
                 {L"--cwd", &folder, nullptr},
                 {L"--prefix", &linuxOnly, nullptr},
                 {L"--linger", &linuxOnly, nullptr},
                 {L"--no-staging", nullptr, nullptr},
                 {L"--display", nullptr, nullptr}};
    int i = 1;
    for (; i < argc; i++) {
        std::wstring arg = argv[i];
        if (arg == L"--") {
            i++;
            break;
        }
        if (arg == L"-h" || arg == L"--help") {
            WriteOutput(std::wstring(kUsage) + kHelp);
            return kHelpShown;
        }
        if (arg.size() < 2 || arg[0] != L'-')
            break;
        std::wstring flag = arg.substr(0, arg.find(L'='));
        const auto *option = std::find_if(std::begin(known), std::end(known),
                                          [&](const auto &o) { return flag == o.flag; });
        if (option == std::end(known) || (!option->value && flag.size() < arg.size()))
            return Bad(L"unrecognized arguments: " + arg);
        if (option->on)
            *option->on = true;
        if (option->value && flag.size() < arg.size())
            *option->value = arg.substr(flag.size() + 1);
        else if (option->value && i + 1 < argc)
            *option->value = argv[++i];
        else if (option->value)
            return Bad(L"argument " + flag + L": expected one argument");
        // The folder that relative paths start from, as the Linux runner's user has it: the
        // one that Wine gave mirdu-run.exe at its start may be on a drive that a run remaps.
        if (option->value == &folder && !SetCurrentDirectoryW(FullPath(folder).c_str()))
            return Bad(L"argument --cwd: no folder " + folder);
        if ((option->value == &step || option->value == &stepsFile) &&
            !AddSteps(flag, *option->value, options.steps, why))
            return Bad(why);
        PreloadSpec spec;
        if (option->value == &preload && !ParsePreloadSpec(preload, spec, why))
            return Bad(L"argument --preload: " + why);
        if (option->value == &preload)
            options.preloads.push_back(preload), options.memory = true;
        if (option->value == &linuxOnly || (!option->value && !option->on))
            WriteError(L"mirdu-run: " + flag + L" is for the Linux runner (Wine): ignored on "
                                               L"Windows\n");
    }
    if (i >= argc)
        return Bad(L"no PROGRAM.exe to run");
    options.program = argv[i];
    options.args.assign(argv + i + 1, argv + argc);
    if (!timeout.empty() && !ParseSeconds(timeout, options.timeout))
        return Bad(L"argument --timeout: wants a number of seconds above 0, not '" + timeout +
                   L"'");
    if (!stepTimeout.empty() && !ParseSeconds(stepTimeout, options.stepTimeout))
        return Bad(L"argument --step-timeout: wants a number of seconds above 0, not '" +
                   stepTimeout + L"'");
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
