#include "runner/stepparse.h"

#include <algorithm>
#include <cwchar>
#include <iterator>

#include "runner/names.h"
#include "shell/handle.h"

namespace {

struct VerbName {
    const wchar_t *name;
    Step::Verb verb;
    const wchar_t *usage; // its words after the verb; one in [] may be left out
};

#define MIRDU_STEP_NAME(id, verb, words) {verb, Step::k##id, words},
const VerbName kVerbs[] = {MIRDU_STEP_VERBS(MIRDU_STEP_NAME)};
#undef MIRDU_STEP_NAME

std::wstring VerbList()
{
    std::wstring list;
    for (const VerbName &verb : kVerbs)
        list += std::wstring(list.empty()                       ? L""
                             : &verb == std::end(kVerbs) - 1 ? L" and "
                                                             : L", ") +
                verb.name;
    return list;
}

// The words that a verb takes, as many as were given: the one in [] left out when it was.
std::vector<std::wstring> UsageWords(const std::wstring &usage, size_t given, size_t &least)
{
    std::vector<std::wstring> words;
    least = 0;
    bool optional = false;
    for (size_t start = 0; start < usage.size();) {
        size_t end = std::min(usage.find(L' ', start), usage.size());
        std::wstring word = usage.substr(start, end - start);
        start = end + 1;
        if (word[0] == L'[') {
            word = word.substr(1, word.size() - 2);
            optional = true;
        } else {
            least++;
        }
        words.push_back(word);
    }
    if (optional && given < words.size())
        words.erase(words.begin());
    return words;
}

// Why the words after the verb are not what it takes, empty when they are.
std::wstring CheckWords(const VerbName &verb, Step &step)
{
    size_t given = step.args.size(), least;
    std::vector<std::wstring> usage = UsageWords(verb.usage, given, least);
    size_t most = UsageWords(verb.usage, (size_t)-1, least).size();
    if (given < least || given > most)
        return std::wstring(verb.name) + L" wants " + (most ? verb.usage : L"nothing") +
               L" after it, not " + std::to_wstring(given) + (given == 1 ? L" word" : L" words") +
               (given > most && most ? L": quote a text that has blanks, as in "
                                       L"click \"Erase chip\""
                                     : L"");
    for (size_t i = 0; i < given; i++) {
        const std::wstring &word = step.args[i];
        int id;
        // fill may empty a box.
        if (word.empty() && !(step.verb == Step::kFill && i == 1))
            return std::wstring(verb.name) + L": an empty " + usage[i] + L" names nothing";
        if ((usage[i] == L"#ID" || (usage[i] == L"NAME" && word[0] == L'#')) &&
            !ParseControlId(word, id))
            return L"#ID wants a number after the #, not '" + word + L"'";
    }
    if (step.verb == Step::kKeys) {
        std::wstring why = ParseKeys(step.args.back(), step.keys);
        if (!why.empty())
            return L"keys: " + why;
    }
    if (step.verb == Step::kMenu)
        for (const std::wstring &level : PathLevels(step.args[0]))
            if (level.empty())
                return L"menu: an empty level in '" + step.args[0] + L"' names nothing";
    return L"";
}

bool ParseSeconds(const std::wstring &text, double &seconds)
{
    wchar_t *end = nullptr;
    seconds = std::wcstod(text.c_str(), &end);
    return !text.empty() && *end == 0 && seconds > 0 && seconds < 1e9;
}

std::wstring Quoted(const std::wstring &text) { return L"\"" + Escaped(text) + L"\""; }

} // namespace

std::vector<std::wstring> SplitWords(const std::wstring &line, std::wstring &why)
{
    std::vector<std::wstring> words;
    std::wstring word;
    bool inWord = false;
    for (size_t i = 0; i < line.size(); i++) {
        wchar_t c = line[i];
        if (c == L' ' || c == L'\t' || c == L'\r' || c == L'\n') {
            if (inWord)
                words.push_back(word);
            word.clear();
            inWord = false;
            continue;
        }
        inWord = true;
        if (c == L'\\') {
            if (++i == line.size())
                return why = L"the line ends in a backslash", std::vector<std::wstring>();
            word += line[i];
        } else if (c == L'\'') {
            size_t end = line.find(L'\'', i + 1);
            if (end == std::wstring::npos)
                return why = L"a ' is not closed", std::vector<std::wstring>();
            word += line.substr(i + 1, end - i - 1);
            i = end;
        } else if (c == L'"') {
            for (i++; i < line.size() && line[i] != L'"'; i++) {
                if (line[i] == L'\\' && i + 1 < line.size() && line[i + 1] &&
                    std::wcschr(L"\"\\$`", line[i + 1]))
                    i++;
                word += line[i];
            }
            if (i == line.size())
                return why = L"a \" is not closed", std::vector<std::wstring>();
        } else {
            word += c;
        }
    }
    if (inWord)
        words.push_back(word);
    return words;
}

std::wstring ParseStep(const std::wstring &line, Step &step)
{
    std::wstring why;
    std::vector<std::wstring> words = SplitWords(line, why);
    if (!why.empty())
        return why;
    step = Step();
    size_t first = 0;
    if (!words.empty() && words[0].compare(0, 7, L"within=") == 0) {
        if (!ParseSeconds(words[0].substr(7), step.seconds))
            return L"within= wants a number of seconds above 0, not '" + words[0].substr(7) +
                   L"'";
        first = 1;
    }
    if (first == words.size())
        return L"no step in it";
    const VerbName *verb = std::begin(kVerbs);
    while (verb != std::end(kVerbs) && words[first] != verb->name)
        verb++;
    if (verb == std::end(kVerbs))
        return L"no step '" + words[first] + L"': the steps are " + VerbList();
    step.verb = verb->verb;
    step.args.assign(words.begin() + first + 1, words.end());
    std::wstring wrong = CheckWords(*verb, step);
    if (!wrong.empty())
        return wrong;
    step.text = verb->name;
    for (const std::wstring &arg : step.args)
        step.text += L" " + Quoted(arg);
    return L"";
}

Failure ReadStepsFile(const std::wstring &path,
                      std::vector<std::pair<unsigned, std::wstring>> &steps)
{
    UniqueHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL));
    std::string bytes;
    char chunk[4096];
    DWORD got = 0;
    while (file.valid() && ReadFile(file.get(), chunk, sizeof chunk, &got, NULL) && got)
        bytes.append(chunk, got);
    if (!file.valid() || GetLastError() == ERROR_IO_PENDING)
        return Fail(kExitBadOptions, L"cannot read the steps " + path + L": " +
                                         SystemMessage(GetLastError()));
    if (bytes.compare(0, 3, "\xEF\xBB\xBF") == 0)
        bytes.erase(0, 3);
    bool utf8 = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, bytes.data(),
                                    (int)bytes.size(), NULL, 0) > 0;
    std::wstring text = utf8 ? FromUtf8(bytes) : Widen(bytes);
    unsigned number = 0;
    for (size_t start = 0; start < text.size();) {
        size_t end = text.find(L'\n', start);
        if (end == std::wstring::npos)
            end = text.size();
        std::wstring line = text.substr(start, end - start);
        start = end + 1;
        number++;
        size_t first = line.find_first_not_of(L" \t\r");
        if (first != std::wstring::npos && line[first] != L'#')
            steps.emplace_back(number, line);
    }
    return {};
}
