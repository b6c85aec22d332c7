// The kinds of handle that the engine owns beside kernel objects, each on the one owner type
// of shell/handle.h.
#ifndef MIRDU_RUNNER_OWNERS_H
#define MIRDU_RUNNER_OWNERS_H

#include <windows.h>

#include "shell/handle.h"

// A search of FindFirstFileW.
struct FindTraits : KernelHandleTraits {
    static void Close(Type handle) { FindClose(handle); }
};
using UniqueFind = UniqueAny<FindTraits>;

struct RegistryKeyTraits {
    using Type = HKEY;
    static constexpr Type None() { return NULL; }
    static bool Valid(Type key) { return key != NULL; }
    static void Close(Type key) { RegCloseKey(key); }
};
using UniqueKey = UniqueAny<RegistryKeyTraits>;

// The screen's device context, of GetDC(NULL).
struct ScreenDcTraits {
    using Type = HDC;
    static constexpr Type None() { return NULL; }
    static bool Valid(Type dc) { return dc != NULL; }
    static void Close(Type dc) { ReleaseDC(NULL, dc); }
};
using UniqueScreenDc = UniqueAny<ScreenDcTraits>;

// A device context of CreateCompatibleDC.
struct MemoryDcTraits : ScreenDcTraits {
    static void Close(Type dc) { DeleteDC(dc); }
};
using UniqueMemoryDc = UniqueAny<MemoryDcTraits>;

struct BitmapTraits {
    using Type = HBITMAP;
    static constexpr Type None() { return NULL; }
    static bool Valid(Type bitmap) { return bitmap != NULL; }
    static void Close(Type bitmap) { DeleteObject(bitmap); }
};
using UniqueBitmap = UniqueAny<BitmapTraits>;

// A library that the engine loaded itself.
struct LibraryTraits {
    using Type = HMODULE;
    static constexpr Type None() { return NULL; }
    static bool Valid(Type module) { return module != NULL; }
    static void Close(Type module) { FreeLibrary(module); }
};
using UniqueLibrary = UniqueAny<LibraryTraits>;

// A hook of SetWindowsHookEx.
struct WindowsHookTraits {
    using Type = HHOOK;
    static constexpr Type None() { return NULL; }
    static bool Valid(Type hook) { return hook != NULL; }
    static void Close(Type hook) { UnhookWindowsHookEx(hook); }
};
using UniqueHook = UniqueAny<WindowsHookTraits>;

// A reference to a COM object.
template <typename Interface>
struct ComTraits {
    using Type = Interface *;
    static constexpr Type None() { return nullptr; }
    static bool Valid(Type object) { return object != nullptr; }
    static void Close(Type object) { object->Release(); }
};
template <typename Interface>
using UniqueCom = UniqueAny<ComTraits<Interface>>;

#endif
