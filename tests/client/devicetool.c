/* devicetool:TITLE, a device tool as vendors write them, for the steps' tests:
 *   File menu: "Open firmware...  Ctrl+O" (the standard Open dialog), "Program  Ctrl+P", which
 *             the tool enables only when the menu opens with a file chosen, and "Exit";
 *   tab "General": "Device:" combo box (USB0, USB1, COM3), "Target:" list box (Flash, EEPROM,
 *             Fuses), "Notes:" multi-line edit box, which has the focus at the start;
 *   tab "Advanced": check boxes "Verify after writing" and "Erase before writing", whose states
 *             the tool keeps in the registry (HKCU\Software\mirdu-client\TITLE) from run to run,
 *             "Memory:" tree view (Flash, whose banks it adds when it opens, and EEPROM),
 *             "Region:" list view (Boot, Application, Data);
 *   Ctrl+P and Ctrl+O, as accelerators.
 * Program writes the file with the loaded library's KVTWrite at address 0x20000, in one call.
 * The tool learns of each choice from the controls' notifications only, and reports them when
 * its window is closed: "devicetool device=D target=T tab=T memory=PATH region=R verify=0|1
 * erase=0|1 clicks=N programmed=N notes=TEXT", clicks the check boxes' clicks, notes with its
 * line ends as "|". */
#include <windows.h>
#include <commctrl.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include "tests/client/client.h"

enum {
    kOpen = 2001, kProgram, kExit,
    kTabs = 3000, kDevice, kTarget, kNotes, kVerify, kErase, kMemory, kRegion, kStatus
};

static struct {
    HWND window;
    const char *title;
    char file[MAX_PATH];
    char device[32], target[32], tab[32], memory[64], region[32];
    int clicks, programmed;
    HTREEITEM flash;
    int flashFilled;
} tool;

/* The controls of each tab's page: shown while it is. */
static const int kGeneral[] = {kDevice, kTarget, kNotes, kDevice + 100, kTarget + 100,
                               kNotes + 100};
static const int kAdvanced[] = {kVerify, kErase, kMemory, kRegion, kMemory + 100,
                                kRegion + 100};

static void Show(const int *ids, int count, int shown)
{
    for (int i = 0; i < count; i++)
        ShowWindow(GetDlgItem(tool.window, ids[i]), shown ? SW_SHOW : SW_HIDE);
}

static void ShowPage(int page)
{
    Show(kGeneral, 6, page == 0);
    Show(kAdvanced, 6, page == 1);
    strcpy(tool.tab, page == 0 ? "General" : "Advanced");
}

static HWND Add(const char *type, const char *text, DWORD style, int x, int y, int width,
                int height, int id)
{
    return CreateWindowExA(0, type, text, WS_CHILD | WS_VISIBLE | style, x, y, width, height,
                           tool.window, (HMENU)(intptr_t)id, GetModuleHandleA(NULL), NULL);
}

/* A label with the id of its control + 100, so that pages show and hide it with the control. */
static void Labeled(const char *label, const char *type, DWORD style, int y, int height, int id)
{
    Add("STATIC", label, 0, 12, y + 4, 90, 20, id + 100);
    Add(type, "", WS_TABSTOP | WS_BORDER | style, 110, y, 240, height, id);
}

static char *KeyName(const char *title, char *name, size_t size)
{
    snprintf(name, size, "Software\\mirdu-client\\%s", title);
    return name;
}

static DWORD Remembered(const char *value, DWORD otherwise)
{
    char name[300];
    DWORD data = otherwise, size = sizeof data;
    RegGetValueA(HKEY_CURRENT_USER, KeyName(tool.title, name, sizeof name), value,
                 RRF_RT_REG_DWORD, NULL, &data, &size);
    return data;
}

static void Remember(void)
{
    char name[300];
    HKEY key;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, KeyName(tool.title, name, sizeof name), 0, NULL, 0,
                        KEY_SET_VALUE, NULL, &key, NULL) != ERROR_SUCCESS)
        return;
    const int ids[] = {kVerify, kErase};
    const char *values[] = {"verify", "erase"};
    for (int i = 0; i < 2; i++) {
        DWORD checked = IsDlgButtonChecked(tool.window, ids[i]) == BST_CHECKED;
        RegSetValueExA(key, values[i], 0, REG_DWORD, (const BYTE *)&checked, sizeof checked);
    }
    RegCloseKey(key);
}

static void AddTreeItem(HWND tree, HTREEITEM parent, const char *text, int children,
                        HTREEITEM *made)
{
    TVINSERTSTRUCTA insert;
    memset(&insert, 0, sizeof insert);
    insert.hParent = parent;
    insert.hInsertAfter = TVI_LAST;
    insert.item.mask = TVIF_TEXT | TVIF_CHILDREN;
    insert.item.pszText = (char *)text;
    insert.item.cChildren = children;
    HTREEITEM item = (HTREEITEM)SendMessageA(tree, TVM_INSERTITEMA, 0, (LPARAM)&insert);
    if (made)
        *made = item;
}

static void FillLists(void)
{
    const char *devices[] = {"USB0", "USB1", "COM3"}, *targets[] = {"Flash", "EEPROM", "Fuses"};
    const char *regions[] = {"Boot", "Application", "Data"};
    for (int i = 0; i < 3; i++) {
        SendDlgItemMessageA(tool.window, kDevice, CB_ADDSTRING, 0, (LPARAM)devices[i]);
        SendDlgItemMessageA(tool.window, kTarget, LB_ADDSTRING, 0, (LPARAM)targets[i]);
    }
    HWND tree = GetDlgItem(tool.window, kMemory), list = GetDlgItem(tool.window, kRegion);
    AddTreeItem(tree, TVI_ROOT, "Flash", 1, &tool.flash);
    AddTreeItem(tree, TVI_ROOT, "EEPROM", 0, NULL);
    LVCOLUMNA column;
    memset(&column, 0, sizeof column);
    column.mask = LVCF_TEXT | LVCF_WIDTH;
    column.pszText = "Region";
    column.cx = 200;
    SendMessageA(list, LVM_INSERTCOLUMNA, 0, (LPARAM)&column);
    for (int i = 0; i < 3; i++) {
        LVITEMA item;
        memset(&item, 0, sizeof item);
        item.mask = LVIF_TEXT;
        item.iItem = i;
        item.pszText = (char *)regions[i];
        SendMessageA(list, LVM_INSERTITEMA, 0, (LPARAM)&item);
    }
    TCITEMA tab;
    memset(&tab, 0, sizeof tab);
    tab.mask = TCIF_TEXT;
    tab.pszText = "&General";
    SendDlgItemMessageA(tool.window, kTabs, TCM_INSERTITEMA, 0, (LPARAM)&tab);
    tab.pszText = "&Advanced";
    SendDlgItemMessageA(tool.window, kTabs, TCM_INSERTITEMA, 1, (LPARAM)&tab);
}

static void MakeControls(void)
{
    Add(WC_TABCONTROLA, "", WS_CLIPSIBLINGS, 4, 4, 500, 28, kTabs);
    Labeled("&Device:", "COMBOBOX", CBS_DROPDOWNLIST | WS_VSCROLL, 40, 120, kDevice);
    Labeled("&Target:", "LISTBOX", LBS_NOTIFY, 70, 60, kTarget);
    Labeled("&Notes:", "EDIT", ES_MULTILINE | ES_AUTOVSCROLL, 140, 60, kNotes);
    Add("BUTTON", "&Verify after writing", WS_TABSTOP | BS_AUTOCHECKBOX, 12, 40, 200, 24,
        kVerify);
    Add("BUTTON", "&Erase before writing", WS_TABSTOP | BS_AUTOCHECKBOX, 12, 68, 200, 24,
        kErase);
    Labeled("&Memory:", WC_TREEVIEWA, TVS_HASBUTTONS | TVS_SHOWSELALWAYS, 100, 80, kMemory);
    Labeled("&Region:", WC_LISTVIEWA, LVS_REPORT | LVS_SINGLESEL | LVS_SHOWSELALWAYS, 190, 80,
            kRegion);
    Add("STATIC", "Ready.", 0, 12, 290, 400, 20, kStatus);
    FillLists();
    CheckDlgButton(tool.window, kVerify, Remembered("verify", 0) ? BST_CHECKED : BST_UNCHECKED);
    CheckDlgButton(tool.window, kErase, Remembered("erase", 1) ? BST_CHECKED : BST_UNCHECKED);
    ShowPage(0);
    SetFocus(GetDlgItem(tool.window, kNotes));
}

static HMENU MakeMenu(void)
{
    HMENU bar = CreateMenu(), file = CreatePopupMenu();
    AppendMenuA(file, MF_STRING, kOpen, "&Open firmware...\tCtrl+O");
    /* Enabled as made: the tool greys it when the menu opens without a file. */
    AppendMenuA(file, MF_STRING, kProgram, "&Program\tCtrl+P");
    AppendMenuA(file, MF_SEPARATOR, 0, NULL);
    AppendMenuA(file, MF_STRING, kExit, "E&xit");
    AppendMenuA(bar, MF_POPUP, (UINT_PTR)file, "&File");
    return bar;
}

static void OpenFirmware(void)
{
    char file[MAX_PATH] = "";
    if (ChooseFirmware(tool.window, file, sizeof file))
        strcpy(tool.file, file);
}

static void Program(void)
{
    TransferFn write = Transfer("KVTWrite");
    unsigned char image[4096];
    FILE *f = tool.file[0] ? fopen(tool.file, "rb") : NULL;
    if (!f || !write) {
        SetDlgItemTextA(tool.window, kStatus, f ? "No library." : "No firmware file.");
        if (f)
            fclose(f);
        return;
    }
    size_t size = fread(image, 1, sizeof image, f);
    fclose(f);
    write(0, image, 0x20000, (uint32_t)size);
    tool.programmed++;
    char status[128];
    snprintf(status, sizeof status, "Programmed %u bytes to %s.", (unsigned)size, tool.device);
    SetDlgItemTextA(tool.window, kStatus, status);
}

static void Selected(int id, HWND control)
{
    char *into = id == kDevice ? tool.device : tool.target;
    UINT get = id == kDevice ? CB_GETCURSEL : LB_GETCURSEL;
    UINT text = id == kDevice ? CB_GETLBTEXT : LB_GETTEXT;
    LRESULT index = SendMessageA(control, get, 0, 0);
    if (index >= 0)
        SendMessageA(control, text, index, (LPARAM)into);
}

static void OnCommand(WORD id, WORD code, HWND control)
{
    if (id == kOpen)
        OpenFirmware();
    else if (id == kProgram)
        Program();
    else if (id == kExit)
        SendMessageA(tool.window, WM_CLOSE, 0, 0);
    else if ((id == kDevice && code == CBN_SELCHANGE) || (id == kTarget && code == LBN_SELCHANGE))
        Selected(id, control);
    else if ((id == kVerify || id == kErase) && code == BN_CLICKED)
        tool.clicks++;
}

/* The path of the tree's item, its parents first: "Flash>Bank 1". */
static void TreePath(HWND tree, HTREEITEM item, char *path, size_t size)
{
    char text[64] = "";
    TVITEMA read;
    memset(&read, 0, sizeof read);
    read.mask = TVIF_TEXT | TVIF_HANDLE;
    read.hItem = item;
    read.pszText = text;
    read.cchTextMax = sizeof text;
    SendMessageA(tree, TVM_GETITEMA, 0, (LPARAM)&read);
    HTREEITEM parent = (HTREEITEM)SendMessageA(tree, TVM_GETNEXTITEM, TVGN_PARENT, (LPARAM)item);
    path[0] = 0;
    if (parent) {
        TreePath(tree, parent, path, size);
        strncat(path, ">", size - strlen(path) - 1);
    }
    strncat(path, text, size - strlen(path) - 1);
}

static void OnNotify(const NMHDR *header)
{
    if (header->idFrom == kTabs && header->code == TCN_SELCHANGE) {
        ShowPage((int)SendMessageA(header->hwndFrom, TCM_GETCURSEL, 0, 0));
    } else if (header->idFrom == kMemory && header->code == TVN_ITEMEXPANDINGA) {
        const NMTREEVIEWA *tree = (const NMTREEVIEWA *)header;
        /* The banks are there only once Flash has opened, as a tool that reads them then. */
        if (tree->itemNew.hItem == tool.flash && !tool.flashFilled) {
            AddTreeItem(header->hwndFrom, tool.flash, "Bank 0", 0, NULL);
            AddTreeItem(header->hwndFrom, tool.flash, "Bank 1", 0, NULL);
            tool.flashFilled = 1;
        }
    } else if (header->idFrom == kMemory && header->code == TVN_SELCHANGEDA) {
        const NMTREEVIEWA *tree = (const NMTREEVIEWA *)header;
        TreePath(header->hwndFrom, tree->itemNew.hItem, tool.memory, sizeof tool.memory);
    } else if (header->idFrom == kRegion && header->code == LVN_ITEMCHANGED) {
        const NMLISTVIEW *list = (const NMLISTVIEW *)header;
        if ((list->uNewState & LVIS_SELECTED) && !(list->uOldState & LVIS_SELECTED)) {
            LVITEMA item;
            memset(&item, 0, sizeof item);
            item.pszText = tool.region;
            item.cchTextMax = sizeof tool.region;
            SendMessageA(header->hwndFrom, LVM_GETITEMTEXTA, list->iItem, (LPARAM)&item);
        }
    }
}

static void ReportTool(void)
{
    char notes[256] = "";
    GetDlgItemTextA(tool.window, kNotes, notes, sizeof notes);
    for (char *c = notes; *c; c++)
        if (*c == '\r' || *c == '\n')
            *c = '|';
    /* CR LF is one line end. */
    for (char *bar; (bar = strstr(notes, "||"));)
        memmove(bar, bar + 1, strlen(bar));
    Report("devicetool device=%s target=%s tab=%s memory=%s region=%s verify=%d erase=%d "
           "clicks=%d programmed=%d notes=%s", tool.device, tool.target, tool.tab, tool.memory,
           tool.region, IsDlgButtonChecked(tool.window, kVerify) == BST_CHECKED,
           IsDlgButtonChecked(tool.window, kErase) == BST_CHECKED, tool.clicks, tool.programmed,
           notes);
}

static LRESULT CALLBACK DeviceToolProc(HWND window, UINT message, WPARAM w, LPARAM l)
{
    switch (message) {
    case WM_INITMENUPOPUP:
        EnableMenuItem((HMENU)w, kProgram, tool.file[0] ? MF_ENABLED : MF_GRAYED);
        return 0;
    case WM_COMMAND:
        OnCommand(LOWORD(w), HIWORD(w), (HWND)l);
        return 0;
    case WM_NOTIFY:
        OnNotify((const NMHDR *)l);
        return 0;
    case WM_CLOSE:
        /* The report reads the controls, which go with the window. */
        ReportTool();
        Remember();
        DestroyWindow(window);
        return 0;
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    default:
        return DefWindowProcA(window, message, w, l);
    }
}

void RunDeviceTool(const char *title)
{
    INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_TAB_CLASSES | ICC_TREEVIEW_CLASSES |
                                                          ICC_LISTVIEW_CLASSES};
    InitCommonControlsEx(&controls);
    WNDCLASSA windowClass;
    memset(&windowClass, 0, sizeof windowClass);
    windowClass.lpfnWndProc = DeviceToolProc;
    windowClass.hInstance = GetModuleHandleA(NULL);
    windowClass.hbrBackground = (HBRUSH)(COLOR_BTNFACE + 1);
    windowClass.lpszClassName = "MirduDeviceTool";
    RegisterClassA(&windowClass);
    memset(&tool, 0, sizeof tool);
    tool.title = title;
    tool.window = CreateWindowA("MirduDeviceTool", title, WS_OVERLAPPEDWINDOW, 80, 80, 520, 380,
                                NULL, MakeMenu(), windowClass.hInstance, NULL);
    if (!tool.window)
        Fail("devicetool", "CreateWindowA failed");
    MakeControls();
    ShowWindow(tool.window, SW_SHOWNORMAL);
    ACCEL keys[] = {{FVIRTKEY | FCONTROL, 'O', kOpen}, {FVIRTKEY | FCONTROL, 'P', kProgram}};
    HACCEL accelerators = CreateAcceleratorTableA(keys, 2);
    MSG message;
    while (GetMessageA(&message, NULL, 0, 0) > 0) {
        if (TranslateAcceleratorA(tool.window, accelerators, &message))
            continue;
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
    DestroyAcceleratorTable(accelerators);
}

void ForgetDeviceTool(const char *title)
{
    char name[300];
    LSTATUS status = RegDeleteKeyA(HKEY_CURRENT_USER, KeyName(title, name, sizeof name));
    Report("forget %s", status == ERROR_SUCCESS ? "done" : "nothing");
}
