// The menu step: an item of the window's menu bar chosen by its path, each level opened as a
// person's mouse opens it. The menus are read and chosen inside the program by mirdu-hook.dll
// (hooks.h): other processes are given no menu's items under Wine.
#include "runner/stepaction.h"

#include "runner/hooks.h"

namespace {

// How long a program may take to answer a request before the step says it does not, and how
// soon a request is asked again after an answer that the step cannot take (a disabled item).
const ULONGLONG kAnswerMs = 2000, kAskAgainMs = 250;

// The items of an answer's list as a person reads them, the disabled ones marked.
std::wstring MenuItems(const std::wstring &list)
{
    std::vector<std::wstring> shown;
    for (size_t start = 0; start < list.size();) {
        size_t end = list.find(L'\n', start);
        std::wstring line = list.substr(start, end - start);
        start = end == std::wstring::npos ? list.size() : end + 1;
        size_t blank = line.find(L' ', 2);
        if (line.size() < 3 || blank == std::wstring::npos)
            continue;
        std::wstring text = MenuItemShown(line.substr(blank + 1));
        shown.push_back(text.empty() ? L"#" + line.substr(2, blank - 2) : text);
        shown.back() = Quoted(shown.back()) + (line[0] == L'-' ? L" (disabled)" : L"");
    }
    std::wstring joined;
    for (const std::wstring &item : shown)
        joined += (joined.empty() ? L"" : L", ") + item;
    return joined.empty() ? L"it has no items" : L"it has: " + joined;
}

class MenuAction : public StepAction {
public:
    explicit MenuAction(const std::wstring &path) : path_(path), levels_(PathLevels(path)) {}

    StepTry Try(StepScene &scene, StepResult &result) override
    {
        StepTry t;
        // An answer first: the command it posted may have disabled the window already (a
        // modal dialog it opened), retitled it or closed it.
        if (request_ && request_->outcome() != hook::kAsked) {
            Answered(result, t);
            request_.reset();
            askAt_ = GetTickCount64() + kAskAgainMs;
            return t;
        }
        HWND window = scene.Window(t);
        if (!window)
            return t;
        // The hook checked while an answer is awaited too: a helper that went took it along.
        if (!Ready(scene, window, t, request_ != nullptr))
            return t;
        if (!request_ && GetTickCount64() >= askAt_) {
            request_ = MenuRequest::Post(window, path_, t.waiting);
            title_ = Title(window);
            Acted(result, window, title_);
        }
        if (!t.waiting.empty() || (request_ && request_->outcome() == hook::kAsked &&
                                   GetTickCount64() - request_->posted() >= kAnswerMs)) {
            if (t.waiting.empty())
                t.waiting = Quoted(Title(window)) + L" does not answer";
            return t;
        }
        if (last_.waiting.empty())
            last_.waiting = L"the menu of " + Quoted(Title(window)) + L" is being read";
        return last_;
    }

    // A command that ends the program (File>Exit) takes the window with it.
    bool DoneWhenProgramEnds(StepResult &result) override
    {
        if (!request_ || request_->outcome() != hook::kChosen)
            return false;
        StepTry t;
        Answered(result, t);
        return true;
    }

private:
    // The window can take a menu choice: enabled (no modal dialog over it), with a menu bar,
    // and the hook set in its thread; once asked, only the hook counts.
    bool Ready(StepScene &scene, HWND window, StepTry &t, bool asked)
    {
        std::wstring why;
        if (!asked && !IsWindowEnabled(window)) {
            t.waiting = Quoted(Title(window)) + L" is still disabled";
            t.has = Owned(scene.job(), window);
            return false;
        }
        if (!asked && !GetMenu(window)) {
            t.waiting = Quoted(Title(window)) + L" has no menu bar";
            return false;
        }
        switch (scene.hooks().Hook(window, why)) {
        case ProgramHooks::kSet:
            return true;
        case ProgramHooks::kPending:
            t.waiting = L"the hook that reads the menus of " + Quoted(Title(window)) +
                        L" is still being set";
            return false;
        default:
            t.failed = true;
            t.waiting = why;
            return false;
        }
    }

    void Answered(StepResult &result, StepTry &t)
    {
        const hook::MenuRequest &answer = request_->answer();
        hook::Outcome outcome = request_->outcome();
        size_t level = std::min<size_t>(answer.level, levels_.size());
        std::wstring found = answer.found;
        // The menu the answer lists: the bar, or the item of the level before.
        std::wstring menu = level == 0 ? L"the menu bar of " + Quoted(title_)
                                       : L"the menu " + Quoted(PathLevels(found)[level - 1]) +
                                             L" of " + Quoted(title_);
        t.has = MenuItems(answer.items);
        if (outcome == hook::kChosen) {
            result.item = found;
            result.itemId = (int)answer.id;
            t.done = true;
        } else if (outcome == hook::kNoMenu) {
            t.waiting = Quoted(title_) + L" has no menu bar";
            t.has.clear();
        } else if (outcome == hook::kMissing) {
            t.waiting = L"no item " + Quoted(levels_[level]) + L" in " + menu;
        } else if (outcome == hook::kDisabled) {
            t.waiting = L"the item " + Quoted(PathLevels(found).back()) + L" in " + menu +
                        L" is disabled";
        } else if (outcome == hook::kNotAnItem) {
            t.failed = true;
            t.waiting = Quoted(found) + L" of " + Quoted(title_) +
                        L" is a menu, not an item: name one of its items";
        } else {
            t.failed = true;
            t.waiting = L"the item " + Quoted(found) + L" of " + Quoted(title_) +
                        L" opens no menu: the path ends at it";
        }
        last_ = t;
    }

    std::wstring path_;
    std::vector<std::wstring> levels_;
    std::unique_ptr<MenuRequest> request_; // the one asked, until it is answered
    std::wstring title_;                   // of the window whose menu it asked for
    ULONGLONG askAt_ = 0;                  // when to ask again
    StepTry last_;                         // what the last answer said was missing
};

} // namespace

std::unique_ptr<StepAction> MakeMenuAction(const Step &step)
{
    return std::unique_ptr<StepAction>(new MenuAction(step.args[0]));
}
