// The keys step: keys typed into the focused control of the window, or into #ID, with no
// keyboard focus, foreground or display needed. Characters are posted as WM_CHAR; a named key
// as its WM_KEYDOWN and WM_KEYUP, which the program's own loop translates and dispatches, so
// that Enter and Tab do what they do there (a dialog's default button, the next control). A
// shortcut holds its modifiers down in the keyboard state that the program's thread reads,
// shared with it for that while (AttachThreadInput): its accelerators and menus see Ctrl+S as
// typed. A key that the program turns into a character of its own is let through before the
// next one is posted, so that the characters keep their order.
#include "runner/stepaction.h"

#include <cstring>

namespace {

bool IsExtended(WORD key)
{
    switch (key) {
    case VK_INSERT: case VK_DELETE: case VK_HOME: case VK_END: case VK_PRIOR: case VK_NEXT:
    case VK_LEFT: case VK_RIGHT: case VK_UP: case VK_DOWN: case VK_NUMLOCK: case VK_SNAPSHOT:
    case VK_DIVIDE: case VK_APPS: case VK_CANCEL:
        return true;
    default:
        return false;
    }
}

// A key message's lParam as the keyboard makes it: one press, its scan code, Alt held.
LPARAM KeyParam(WORD key, bool up, bool alt)
{
    LPARAM scan = MapVirtualKeyW(key, MAPVK_VK_TO_VSC);
    return 1 | scan << 16 | (LPARAM)IsExtended(key) << 24 | (LPARAM)alt << 29 |
           (LPARAM)up << 30 | (LPARAM)up << 31;
}

// Modifiers held down in the keyboard state of the program's thread while the object lives;
// then the state is as it was, and the threads apart again.
class HeldModifiers {
public:
    HeldModifiers() = default;
    HeldModifiers(const HeldModifiers &) = delete;
    HeldModifiers &operator=(const HeldModifiers &) = delete;
    ~HeldModifiers()
    {
        if (!attached_)
            return;
        SetKeyboardState(saved_);
        AttachThreadInput(GetCurrentThreadId(), thread_, FALSE);
    }

    bool Hold(DWORD thread, const KeyStroke &stroke, std::wstring &why)
    {
        MSG message; // attaching needs a message queue of this thread's own
        PeekMessageW(&message, NULL, 0, 0, PM_NOREMOVE);
        thread_ = thread;
        if (!AttachThreadInput(GetCurrentThreadId(), thread, TRUE)) {
            why = L"cannot share the keyboard state with the program's thread, which its "
                  L"shortcuts read: " + SystemMessage(GetLastError());
            return false;
        }
        attached_ = true;
        BYTE state[256];
        GetKeyboardState(saved_);
        std::memcpy(state, saved_, sizeof state);
        const struct {
            bool held;
            BYTE keys[3];
        } modifiers[] = {{stroke.shift, {VK_SHIFT, VK_LSHIFT, 0}},
                         {stroke.ctrl, {VK_CONTROL, VK_LCONTROL, 0}},
                         {stroke.alt, {VK_MENU, VK_LMENU, 0}}};
        for (const auto &modifier : modifiers)
            for (int i = 0; modifier.held && modifier.keys[i]; i++)
                state[modifier.keys[i]] = 0x80;
        if (!SetKeyboardState(state)) {
            why = L"cannot hold the shortcut's modifiers down: " + SystemMessage(GetLastError());
            return false;
        }
        return true;
    }

private:
    DWORD thread_ = 0;
    bool attached_ = false;
    BYTE saved_[256] = {};
};

bool AnyControl(const Control &) { return true; }

// Whether the program is to take the key before the next is posted: one whose character its
// loop makes (and posts behind what is posted already), and a shortcut, whose modifiers are
// held only until then.
bool LetThrough(const KeyStroke &stroke)
{
    return stroke.chord() || (!stroke.ch && MakesCharacter(stroke));
}

class KeysAction : public StepAction {
public:
    KeysAction(const std::wstring &id, const std::vector<KeyStroke> &keys) : id_(id), keys_(keys)
    {
    }

    StepTry Try(StepScene &scene, StepResult &result) override
    {
        StepTry t;
        if (!target_ && !(target_ = FindTarget(scene, result, t)))
            return t;
        for (;;) {
            if (posting_) {
                if (!posted_.Taken()) {
                    t.waiting = where_ + L" is still taking the keys";
                    return t;
                }
                posting_ = false;
                held_.reset();
                if (next_ == keys_.size()) {
                    t.done = true;
                    return t;
                }
            }
            // Every key is taken before the step ends, so that the next acts on what it did.
            bool last = next_ == keys_.size();
            if (!last && !Type(keys_[next_], t))
                return t;
            if (last || LetThrough(keys_[next_++])) {
                posting_ = true;
                posted_.Posted(target_);
            }
        }
    }

private:
    HWND FindTarget(StepScene &scene, StepResult &result, StepTry &t)
    {
        std::vector<Control> controls;
        HWND window = scene.Controls(controls, t), target = NULL;
        if (!window)
            return NULL;
        if (!id_.empty()) {
            const Control *control = FindControl(controls, id_, AnyControl);
            if (!control)
                t.waiting = L"no control " + id_ + L" in " + Quoted(Title(window));
            else if (!Unready(scene.job(), window, *control, id_, t))
                target = control->window;
        } else {
            target = Focused(scene, window, t);
        }
        if (!target)
            return NULL;
        std::wstring text;
        for (const Control &control : controls)
            if (control.window == target)
                text = control.text;
        Acted(result, target, target == window ? Title(window) : text);
        result.keys = ShownKeys(keys_);
        where_ = (target == window ? L"" : L"the control #" + std::to_wstring(GetDlgCtrlID(target)) +
                                               L" of ") +
                 Quoted(Title(window));
        return target;
    }

    // The control that has the keyboard focus in the window's thread, which the thread keeps
    // whether or not it is in the foreground.
    HWND Focused(StepScene &scene, HWND window, StepTry &t)
    {
        GUITHREADINFO info = {};
        info.cbSize = sizeof info;
        if (!IsWindowEnabled(window)) {
            t.waiting = Quoted(Title(window)) + L" is still disabled";
            t.has = Owned(scene.job(), window);
        } else if (!GetGUIThreadInfo(GetWindowThreadProcessId(window, NULL), &info) ||
                   !info.hwndFocus) {
            t.waiting = L"no control of " + Quoted(Title(window)) +
                        L" has the keyboard focus: name one, as in keys #ID TEXT";
        } else if (info.hwndFocus != window && !IsChild(window, info.hwndFocus)) {
            t.waiting = L"the keyboard focus is in " +
                        Quoted(Title(GetAncestor(info.hwndFocus, GA_ROOT))) + L", not in " +
                        Quoted(Title(window));
        } else {
            return info.hwndFocus;
        }
        return NULL;
    }

    bool Type(const KeyStroke &stroke, StepTry &t)
    {
        if (!stroke.chord() && stroke.ch) {
            PostMessageW(target_, WM_CHAR, stroke.ch, 1);
            return true;
        }
        WORD key = stroke.key;
        KeyStroke held = stroke;
        if (stroke.ch) {
            SHORT scanned = VkKeyScanW(stroke.ch);
            if (scanned == -1) {
                t.failed = true;
                t.waiting = L"no key of the keyboard types " + Quoted(std::wstring(1, stroke.ch)) +
                            L" with " + ShownKeys({stroke});
                return false;
            }
            key = LOBYTE(scanned);
            held.shift |= (HIBYTE(scanned) & 1) != 0;
            held.ctrl |= (HIBYTE(scanned) & 2) != 0;
            held.alt |= (HIBYTE(scanned) & 4) != 0;
        }
        if (held.chord()) {
            held_.reset(new HeldModifiers());
            if (!held_->Hold(GetWindowThreadProcessId(target_, NULL), held, t.waiting)) {
                t.failed = true;
                return false;
            }
        }
        // Alt without Ctrl makes system keys, as the keyboard does.
        bool system = held.alt && !held.ctrl;
        PostMessageW(target_, system ? WM_SYSKEYDOWN : WM_KEYDOWN, key,
                     KeyParam(key, false, held.alt));
        PostMessageW(target_, system ? WM_SYSKEYUP : WM_KEYUP, key, KeyParam(key, true, held.alt));
        return true;
    }

    std::wstring id_;
    std::vector<KeyStroke> keys_;
    HWND target_ = NULL;      // once found
    std::wstring where_;      // how messages name it
    size_t next_ = 0;         // the next key to type
    bool posting_ = false;    // keys posted that the program has still to take
    PostedWait posted_;
    std::unique_ptr<HeldModifiers> held_; // while a shortcut is taken
};

} // namespace

std::unique_ptr<StepAction> MakeKeysAction(const Step &step)
{
    return std::unique_ptr<StepAction>(new KeysAction(
        step.args.size() == 2 ? step.args[0] : L"", step.keys));
}
