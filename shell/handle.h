// The one owner type for every kind of handle: it closes what it holds when it goes. Each
// kind brings its traits: its type, the value that means "none", whether a value is one, and
// how it is closed (in the manner of WIL's unique_any).
#ifndef MIRDU_SHELL_HANDLE_H
#define MIRDU_SHELL_HANDLE_H

#include <windows.h>

template <typename Traits>
class UniqueAny {
public:
    using Type = typename Traits::Type;

    constexpr UniqueAny() = default;
    explicit UniqueAny(Type value) : value_(value) {}
    UniqueAny(UniqueAny &&other) noexcept : value_(other.release()) {}
    UniqueAny &operator=(UniqueAny &&other) noexcept
    {
        reset(other.release());
        return *this;
    }
    UniqueAny(const UniqueAny &) = delete;
    UniqueAny &operator=(const UniqueAny &) = delete;
    ~UniqueAny() { reset(); }

    bool valid() const { return Traits::Valid(value_); }
    Type get() const { return value_; }

    void reset(Type value = Traits::None())
    {
        if (valid())
            Traits::Close(value_);
        value_ = value;
    }
    // Gives up ownership without closing.
    Type release()
    {
        Type value = value_;
        value_ = Traits::None();
        return value;
    }
    // For a call that hands out a new one through a pointer: what is held is closed first.
    Type *put()
    {
        reset();
        return &value_;
    }

private:
    Type value_ = Traits::None();
};

// Kernel objects: files, processes, threads, events, pipes, jobs. Both conventions for "no
// handle" count: NULL and INVALID_HANDLE_VALUE.
struct KernelHandleTraits {
    using Type = HANDLE;
    static constexpr Type None() { return NULL; }
    static bool Valid(Type handle) { return handle != NULL && handle != INVALID_HANDLE_VALUE; }
    static void Close(Type handle) { CloseHandle(handle); }
};
using UniqueHandle = UniqueAny<KernelHandleTraits>;

// A view of a file mapping, unmapped when it goes.
struct MappedViewTraits {
    using Type = void *;
    static constexpr Type None() { return NULL; }
    static bool Valid(Type view) { return view != NULL; }
    static void Close(Type view) { UnmapViewOfFile(view); }
};
using UniqueView = UniqueAny<MappedViewTraits>;

#endif
