// The tab step: a tab of the window's tab control shown as a click on it shows it, so that the
// program changes the page.
#include "runner/stepaction.h"

#include "runner/controlitems.h"

namespace {

bool IsTab(const Control &control) { return control.kind == Control::kTab; }

class TabAction : public StepAction {
public:
    TabAction(const std::wstring &id, const std::wstring &text) : id_(id), text_(text) {}

    StepTry Try(StepScene &scene, StepResult &result) override
    {
        StepTry t;
        std::vector<Control> controls;
        HWND window = scene.Controls(controls, t);
        const Control *tab = window ? Find(window, controls, t) : nullptr;
        if (!tab || Unready(scene.job(), window, *tab, id_.empty() ? L"the tab control" : id_, t))
            return t;
        where_ = L" of " + Quoted(Title(window));
        int index = Index(tab->window, t);
        if (index < 0)
            return t;
        Acted(result, tab->window, texts_[index]);
        result.item = WithoutMnemonics(texts_[index]);
        result.itemId = index;
        // Asked again on each try until it shows: a control that had no focused tab only takes
        // the focus at the first.
        std::wstring why;
        t.done = shown_ == index || (ShowTab(tab->window, index, why) &&
                                     TabTexts(tab->window, texts_, shown_, why) &&
                                     shown_ == index);
        if (!t.done)
            t.waiting = !why.empty() ? why + where_
                                     : L"the tab control" + where_ + L" still shows " +
                                           (shown_ >= 0 && shown_ < (int)texts_.size()
                                                ? Quoted(WithoutMnemonics(texts_[shown_]))
                                                : L"no tab");
        return t;
    }

private:
    // The tab's index among the control's tabs, read with the one shown; -1 with t saying why.
    int Index(HWND tab, StepTry &t)
    {
        std::wstring why;
        if (!TabTexts(tab, texts_, shown_, why)) {
            t.waiting = why + where_;
            return -1;
        }
        std::vector<std::wstring> shown;
        for (size_t i = 0; i < texts_.size(); i++) {
            if (SameText(WithoutMnemonics(texts_[i]), text_) || SameText(texts_[i], text_))
                return (int)i;
            shown.push_back(WithoutMnemonics(texts_[i]));
        }
        t.waiting = L"no tab " + Quoted(text_) + where_;
        t.has = texts_.empty() ? L"it has no tabs" : L"it has: " + Listed(shown);
        return -1;
    }

    const Control *Find(HWND window, const std::vector<Control> &controls, StepTry &t)
    {
        std::vector<const Control *> tabs;
        for (const Control &control : controls)
            if (IsTab(control) && (control.visible || !id_.empty()))
                tabs.push_back(&control);
        if (!id_.empty()) {
            const Control *tab = FindControl(controls, id_, IsTab);
            if (!tab)
                t.waiting = L"no tab control " + id_ + L" in " + Quoted(Title(window));
            return tab;
        }
        if (tabs.size() == 1)
            return tabs[0];
        if (tabs.empty()) {
            t.waiting = L"no tab control in " + Quoted(Title(window));
            return nullptr;
        }
        t.failed = true;
        t.waiting = Quoted(Title(window)) + L" has " + std::to_wstring(tabs.size()) +
                    L" tab controls: name one, as in tab #ID " + Quoted(text_);
        std::wstring ids;
        for (const Control *tab : tabs)
            ids += (ids.empty() ? L"#" : L", #") + std::to_wstring(tab->id);
        t.has = L"they are " + ids;
        return nullptr;
    }

    std::wstring id_, text_; // id_ empty: the window's one tab control
    std::wstring where_;     // how messages name the window
    std::vector<std::wstring> texts_; // the tabs as last read, and the one shown
    int shown_ = -1;
};

} // namespace

std::unique_ptr<StepAction> MakeTabAction(const Step &step)
{
    if (step.args.size() == 2)
        return std::unique_ptr<StepAction>(new TabAction(step.args[0], step.args[1]));
    return std::unique_ptr<StepAction>(new TabAction(L"", step.args[0]));
}
