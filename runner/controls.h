// The windows and controls of a job's processes, as another process sees them. Every message
// that waits on the program has a timeout: a hung program must not hang the run.
#ifndef MIRDU_RUNNER_CONTROLS_H
#define MIRDU_RUNNER_CONTROLS_H

#include <windows.h>

#include <string>
#include <vector>

#include "runner/names.h"

// How long a control may take to answer when the run only describes it.
const UINT kAnswerMs = 500;
// How long a control may take to answer a step's message: the run's loop waits this long at
// most on a program that is busy, and tries again later.
const UINT kStepAnswerMs = 200;
// A log control can hold pages; a text is read up to this much, and cut with "..." after.
const size_t kLongestText = 1024;

// The visible top-level windows of the job's processes, topmost first, as EnumWindows goes.
std::vector<HWND> ShownWindows(HANDLE job);

// The program's first main window: visible, top-level, unowned, and neither a console nor a
// message box (which a program may show with no owner); NULL if none.
HWND MainWindow(HANDLE job, UINT ms = kAnswerMs);
// The first visible top-level window of the job whose title holds part; NULL if none.
HWND WindowTitled(HANDLE job, const std::wstring &part);

// The title from the system's copy: no message to the window, so a hung one answers too.
std::wstring Title(HWND window);
std::wstring ClassOf(HWND window);
// A control's text through WM_GETTEXT, cut after kLongestText. False when the control's
// thread does not answer within ms; true with no text when the control went meanwhile.
bool ControlText(HWND control, std::wstring &text, UINT ms = kAnswerMs);

struct Control {
    enum Kind { kOther, kPushButton, kCheckBox, kRadioButton, kGroupBox, kEdit, kStatic,
                kComboBox, kListBox, kListView, kTreeView, kTab };
    HWND window = NULL;
    Kind kind = kOther;
    bool ownerDrawn = false;
    bool visible = false, enabled = false;
    int id = 0;
    LONG style = 0;
    std::wstring className, text;

    // Of the button class (a group box too): what the window report shows in brackets.
    bool button() const
    {
        return kind == kPushButton || kind == kCheckBox || kind == kRadioButton ||
               kind == kGroupBox;
    }
};

// The window's controls, its descendants in the order of EnumChildWindows (a dialog's tab
// order), each with its text. False when one did not answer within ms: the list ends before
// it.
bool ReadControls(HWND window, std::vector<Control> &controls, UINT ms = kAnswerMs);
Control::Kind KindOf(HWND control, LONG style);

bool IsClickable(const Control &control); // a push button, check box or radio button
bool IsPushButton(const Control &control);
bool IsCheckable(const Control &control); // a check box or radio button
bool IsChoice(const Control &control);    // a combo box, list box, list view or tree view
// The control that name names among those that pass: its text with or without its & marks,
// regardless of case, or #ID. One that is visible and enabled if there is, else one that is
// visible; null when none.
const Control *FindControl(const std::vector<Control> &controls, const std::wstring &name,
                           bool (*passes)(const Control &));
// An edit box named #ID, or the one just after the label name in the order of controls (a
// colon at the label's end may be left out); a combo box's own edit box counts. Null when
// there is none: named is then what name names (the control, or the label), null when
// nothing.
const Control *EditBox(const std::vector<Control> &controls, const std::wstring &name,
                       const Control *&named);
// The same for a control that passes: #ID, or the one just after the label.
const Control *LabeledControl(const std::vector<Control> &controls, const std::wstring &name,
                              bool (*passes)(const Control &), const Control *&named);
// The standard id of a message box's button (OK, Cancel, Yes...), whatever the language of
// its caption; 0 for another name.
int StandardButtonId(const std::wstring &name);

// The standard dialog class (#32770): message boxes, the Open and Save dialogs.
bool IsDialog(HWND window);
// Whether the window is a message box: a standard dialog with its text in the static control
// 0xFFFF and nothing but buttons and statics; text is that text.
bool IsMessageBox(HWND window, std::wstring &text, UINT ms);
// The file-name box of a standard Open or Save dialog: edt1 (0x480), or the edit box in the
// combo box cmb13 (0x47C) that newer ones have; NULL when it shows none.
HWND FileNameBox(HWND dialog);
// The control's text set with WM_SETTEXT, as typing it would: a single-line edit box tells its
// window (EN_CHANGE); for a multi-line one, which does not, the runner tells it. False when the
// program does not answer within ms.
bool SetControlText(HWND control, const std::wstring &text, UINT ms);


#endif
