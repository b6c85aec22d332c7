// The select step: an item chosen in a combo box, list box, list view or tree view, found by
// the label before the control or its #ID, as a person's choice chooses it.
#include "runner/stepaction.h"

#include "runner/controlitems.h"

namespace {

// How many items a failure lists; the count says how many there are in all.
const size_t kListedItems = 40;

const wchar_t *KindWord(const Control &control)
{
    switch (control.kind) {
    case Control::kComboBox: return L"combo box";
    case Control::kListBox: return L"list box";
    case Control::kListView: return L"list view";
    default: return L"tree view";
    }
}

std::wstring Items(const std::vector<std::wstring> &texts)
{
    if (texts.empty())
        return L"it has no items";
    std::vector<std::wstring> listed(texts.begin(),
                                     texts.begin() + std::min(texts.size(), kListedItems));
    return L"it has: " + Listed(listed) +
           (texts.size() > listed.size() ? L" (" + std::to_wstring(texts.size()) + L" in all)"
                                         : L"");
}

int Find(const std::vector<std::wstring> &texts, const std::wstring &name)
{
    for (size_t i = 0; i < texts.size(); i++)
        if (SameText(texts[i], name))
            return (int)i;
    return -1;
}

// The labels and the controls that offer a choice, for a step that did not find its control.
std::wstring Choices(const std::vector<Control> &controls)
{
    std::wstring labels, choices;
    for (const Control &control : controls) {
        if (control.kind == Control::kStatic && !control.text.empty())
            labels += (labels.empty() ? L"" : L", ") + Shown(control);
        else if (IsChoice(control))
            choices += (choices.empty() ? L"" : L", ") + std::wstring(KindWord(control)) +
                       L" #" + std::to_wstring(control.id) + Flags(control);
    }
    if (controls.empty())
        return Offers(controls, IsChoice, L"");
    return L"it has labels: " + (labels.empty() ? L"none" : labels) + L"; controls to choose " +
           L"in: " + (choices.empty() ? L"none" : choices);
}

std::vector<std::wstring> TreeTexts(const std::vector<TreeItem> &items)
{
    std::vector<std::wstring> texts;
    for (const TreeItem &item : items)
        texts.push_back(item.text);
    return texts;
}

// Where a walk down a tree has come to: the item and the path of texts that leads to it.
struct TreeWalk {
    unsigned long long parent = 0;
    std::wstring path;

    void Enter(const TreeItem &item)
    {
        parent = item.handle;
        path += (path.empty() ? L"" : L">") + item.text;
    }
    std::wstring Under() const { return path.empty() ? L"" : L" under " + Quoted(path); }
};

class SelectAction : public StepAction {
public:
    SelectAction(const std::wstring &name, const std::wstring &item) : name_(name), item_(item) {}

    StepTry Try(StepScene &scene, StepResult &result) override
    {
        StepTry t;
        std::vector<Control> controls;
        HWND window = scene.Controls(controls, t);
        const Control *control = window ? Find(controls, Title(window), t) : nullptr;
        if (!control || Unready(scene.job(), window, *control, name_, t))
            return t;
        where_ = L" in the " + std::wstring(KindWord(*control)) + L" " + Named(name_) +
                 L" of " + Quoted(Title(window));
        if (chosen_ >= 0 || tree_) {
            Check(*control, result, t);
            return t;
        }
        if (control->kind == Control::kTreeView)
            ChooseInTree(*control, t);
        else
            Choose(*control, t);
        if (chosen_ >= 0 || tree_) {
            Acted(result, control->window, control->text);
            Check(*control, result, t);
        }
        return t;
    }

private:
    const Control *Find(const std::vector<Control> &controls, const std::wstring &title,
                        StepTry &t)
    {
        const Control *named = nullptr;
        if (const Control *control = LabeledControl(controls, name_, IsChoice, named))
            return control;
        t.has = Choices(controls);
        t.failed = named != nullptr; // what is named is there, but nothing to choose in
        if (!named)
            t.waiting = (name_[0] == L'#' ? L"no control " + name_ : L"no label " + Quoted(name_)) +
                        L" in " + Quoted(title);
        else if (name_[0] == L'#')
            t.waiting = name_ + L" in " + Quoted(title) + L" is no combo box, list box, list " +
                        L"view or tree view but a " + named->className;
        else
            t.waiting = L"the label " + Quoted(name_) + L" in " + Quoted(title) +
                        L" has no combo box, list box, list view or tree view after it";
        return nullptr;
    }

    void Choose(const Control &control, StepTry &t)
    {
        std::vector<std::wstring> texts;
        std::wstring why;
        int index = -1;
        if (!ItemTexts(control, texts, why) || (index = ::Find(texts, item_)) < 0) {
            t.waiting = why.empty() ? L"no item " + Quoted(item_) + where_ : why + where_;
            t.has = why.empty() ? Items(texts) : L"";
            return;
        }
        if (!ChooseItem(control, index, why)) {
            t.waiting = why + where_;
            return;
        }
        chosen_ = index;
        text_ = texts[index];
    }

    // Level by level, each opened before its children are read. A tree whose one root holds
    // the rest (regedit's "My Computer") may be named without it.
    void ChooseInTree(const Control &control, StepTry &t)
    {
        std::vector<std::wstring> levels = PathLevels(item_);
        TreeWalk walk;
        std::vector<TreeItem> items;
        std::wstring why;
        for (size_t level = 0; level < levels.size();) {
            if (!TreeChildren(control.window, walk.parent, items, why)) {
                t.waiting = why + where_;
                return;
            }
            int index = ::Find(TreeTexts(items), levels[level]);
            bool unnamedRoot = index < 0 && walk.parent == 0 && items.size() == 1;
            if (index < 0 && !unnamedRoot) {
                t.waiting = L"no item " + Quoted(levels[level]) + walk.Under() + where_;
                t.has = Items(TreeTexts(items));
                return;
            }
            walk.Enter(items[unnamedRoot ? 0 : index]);
            if (!unnamedRoot)
                level++;
            if (level < levels.size())
                ExpandTreeItem(control.window, walk.parent);
        }
        if (!ChooseTreeItem(control.window, walk.parent, why)) {
            t.waiting = why + where_;
            return;
        }
        tree_ = walk.parent;
        text_ = walk.path;
    }

    // The choice made, as the control reads it back: a program may undo it.
    void Check(const Control &control, StepResult &result, StepTry &t)
    {
        result.item = text_;
        result.itemId = chosen_;
        t.done = tree_ ? TreeItemChosen(control.window, tree_) : ItemChosen(control, chosen_);
        if (!t.done)
            t.waiting = Quoted(text_) + where_ + L" is not the one selected: the program "
                        L"chose another";
    }

    std::wstring name_, item_, where_;
    int chosen_ = -1;               // the item chosen, once it is
    unsigned long long tree_ = 0;   // or the tree item
    std::wstring text_;             // its text (a tree item's path)
};

} // namespace

std::unique_ptr<StepAction> MakeSelectAction(const Step &step)
{
    return std::unique_ptr<StepAction>(new SelectAction(step.args[0], step.args[1]));
}
