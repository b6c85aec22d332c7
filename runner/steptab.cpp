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
        std::vector<std::wstring> texts;
        std::wstring why, where = L" of " + Quoted(Title(window));
        int shown = -1, index = -1;
        if (!TabTexts(tab->window, texts, shown, why)) {
            t.waiting = why + where;
            return t;
        }
        for (size_t i = 0; i < texts.size() && index < 0; i++)
            if (SameText(WithoutMnemonics(texts[i]), text_) || SameText(texts[i], text_))
                index = (int)i;
        if (index < 0) {
            t.waiting = L"no tab " + Quoted(text_) + where;
            std::vector<std::wstring> shownTexts;
            for (const std::wstring &text : texts)
                shownTexts.push_back(WithoutMnemonics(text));
            t.has = texts.empty() ? L"it has no tabs" : L"it has: " + Listed(shownTexts);
            return t;
        }
        Acted(result, tab->window, texts[index]);
        result.item = WithoutMnemonics(texts[index]);
        result.itemId = index;
        t.done = shown == index;
        // Asked again on each try until it shows: a control that had no focused tab only takes
        // the focus at the first.
        if (!t.done && ShowTab(tab->window, index, why) && TabTexts(tab->window, texts, shown, why))
            t.done = shown == index;
        if (!t.done)
            t.waiting = why.empty() ? L"the tab control" + where + L" still shows " +
                                          Quoted(shown >= 0 && shown < (int)texts.size()
                                                     ? WithoutMnemonics(texts[shown])
                                                     : L"no tab")
                                    : why + where;
        return t;
    }

private:
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
};

} // namespace

std::unique_ptr<StepAction> MakeTabAction(const Step &step)
{
    if (step.args.size() == 2)
        return std::unique_ptr<StepAction>(new TabAction(step.args[0], step.args[1]));
    return std::unique_ptr<StepAction>(new TabAction(L"", step.args[0]));
}
