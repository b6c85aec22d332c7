// Owning wrappers for Win32 handles and views: each closes its own when the owner goes away.
#ifndef MIRDU_SHELL_HANDLE_H
#define MIRDU_SHELL_HANDLE_H

#include <windows.h>

class UniqueHandle {
public:
    constexpr UniqueHandle() = default;
    explicit UniqueHandle(HANDLE handle) : handle_(handle) {}
    UniqueHandle(const UniqueHandle &) = delete;
    UniqueHandle &operator=(const UniqueHandle &) = delete;
    ~UniqueHandle() { reset(); }

    // Both conventions for "no handle" count: NULL and INVALID_HANDLE_VALUE.
    bool valid() const { return handle_ != NULL && handle_ != INVALID_HANDLE_VALUE; }
    HANDLE get() const { return handle_; }

    void reset(HANDLE handle = NULL)
    {
        if (valid())
            CloseHandle(handle_);
        handle_ = handle;
    }

private:
    HANDLE handle_ = NULL;
};

// Owning wrapper for a view of a file mapping: unmaps it when the owner goes away.
class UniqueView {
public:
    constexpr UniqueView() = default;
    UniqueView(const UniqueView &) = delete;
    UniqueView &operator=(const UniqueView &) = delete;
    ~UniqueView() { reset(); }

    bool valid() const { return view_ != NULL; }
    void *get() const { return view_; }

    void reset(void *view = NULL)
    {
        if (view_)
            UnmapViewOfFile(view_);
        view_ = view;
    }

private:
    void *view_ = NULL;
};

#endif
