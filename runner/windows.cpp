#include "runner/windows.h"

#include <objidl.h>
#include <wincodec.h>

#include "runner/controls.h"
#include "runner/owners.h"

namespace {

std::wstring Describe(HWND window)
{
    std::vector<Control> controls;
    bool answering = ReadControls(window, controls);
    std::wstring texts, buttons;
    for (const Control &control : controls) {
        if (!control.visible || control.text.empty())
            continue;
        if (control.button())
            buttons += L" [" + Escaped(WithoutMnemonics(control.text)) + L"]";
        else if (control.kind == Control::kStatic && !(control.style & SS_NOPREFIX))
            texts += L" \"" + Escaped(WithoutMnemonics(control.text)) + L"\"";
        else
            texts += L" \"" + Escaped(control.text) + L"\"";
    }
    std::wstring line = L"window \"" + Escaped(Title(window)) + L"\"";
    if (!texts.empty() || !buttons.empty())
        line += L":" + texts + buttons;
    if (!answering)
        line += L" (not responding)";
    return line;
}

// The part of the screen that holds the windows; false when none of them is on it.
bool ShownArea(const std::vector<HWND> &windows, RECT &area)
{
    area = {};
    for (HWND window : windows) {
        RECT rect;
        if (!IsIconic(window) && GetWindowRect(window, &rect))
            UnionRect(&area, &area, &rect);
    }
    RECT screen;
    screen.left = GetSystemMetrics(SM_XVIRTUALSCREEN);
    screen.top = GetSystemMetrics(SM_YVIRTUALSCREEN);
    screen.right = screen.left + GetSystemMetrics(SM_CXVIRTUALSCREEN);
    screen.bottom = screen.top + GetSystemMetrics(SM_CYVIRTUALSCREEN);
    return IntersectRect(&area, &area, &screen);
}

// Wine's null graphics driver, with no display, fails the copy without saying why.
std::wstring Unreadable(DWORD error)
{
    return L"the screen cannot be read" + (error ? L": " + SystemMessage(error) : L" (no display)");
}

// The area's pixels as 0x00RRGGBB, top row first; empty, with why, when the screen cannot be
// read.
std::vector<DWORD> ReadScreen(const RECT &area, std::wstring &why)
{
    int width = area.right - area.left, height = area.bottom - area.top;
    BITMAPINFO info = {};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height; // top-down
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void *bits = nullptr;
    SetLastError(0);
    UniqueScreenDc screen(GetDC(NULL));
    UniqueMemoryDc memory(screen.valid() ? CreateCompatibleDC(screen.get()) : NULL);
    UniqueBitmap picture(memory.valid() ? CreateDIBSection(screen.get(), &info, DIB_RGB_COLORS,
                                                           &bits, NULL, 0)
                                        : NULL);
    if (!picture.valid()) {
        why = Unreadable(GetLastError());
        return {};
    }
    HGDIOBJ before = SelectObject(memory.get(), picture.get());
    // CAPTUREBLT: layered windows too, which a plain copy leaves out.
    SetLastError(0);
    BOOL copied = BitBlt(memory.get(), 0, 0, width, height, screen.get(), area.left, area.top,
                         SRCCOPY | CAPTUREBLT);
    DWORD error = GetLastError();
    SelectObject(memory.get(), before);
    if (!copied) {
        why = Unreadable(error);
        return {};
    }
    GdiFlush();
    const DWORD *pixels = (const DWORD *)bits;
    return std::vector<DWORD>(pixels, pixels + (size_t)width * height);
}

// With no display the copy is one colour, black or the desktop's.
bool AllAlike(const std::vector<DWORD> &pixels)
{
    for (DWORD pixel : pixels)
        if ((pixel ^ pixels[0]) & 0xffffff)
            return false;
    return true;
}

// Rows of 24-bit BGR, the encoder's own format: the copy's fourth byte is no alpha.
std::vector<BYTE> Bgr(const std::vector<DWORD> &pixels)
{
    std::vector<BYTE> bytes(pixels.size() * 3);
    for (size_t i = 0; i < pixels.size(); i++) {
        bytes[3 * i] = (BYTE)pixels[i];
        bytes[3 * i + 1] = (BYTE)(pixels[i] >> 8);
        bytes[3 * i + 2] = (BYTE)(pixels[i] >> 16);
    }
    return bytes;
}

// COM in the calling thread while the object lives; a thread that had it keeps it as it was.
class ComScope {
public:
    ComScope() : result_(CoInitializeEx(NULL, COINIT_MULTITHREADED)) {}
    ComScope(const ComScope &) = delete;
    ComScope &operator=(const ComScope &) = delete;
    ~ComScope()
    {
        if (SUCCEEDED(result_))
            CoUninitialize();
    }

private:
    HRESULT result_;
};

HRESULT StreamBytes(IStream *stream, std::string &bytes)
{
    STATSTG stat = {};
    HGLOBAL memory = NULL;
    HRESULT hr = stream->Stat(&stat, STATFLAG_NONAME);
    if (SUCCEEDED(hr))
        hr = GetHGlobalFromStream(stream, &memory);
    if (FAILED(hr))
        return hr;
    const char *data = (const char *)GlobalLock(memory);
    if (!data)
        return HRESULT_FROM_WIN32(GetLastError());
    bytes.assign(data, (size_t)stat.cbSize.QuadPart);
    GlobalUnlock(memory);
    return S_OK;
}

// The PNG file's bytes, made in memory so that the file is written in one piece.
HRESULT EncodePng(const std::vector<BYTE> &bgr, UINT width, UINT height, std::string &png)
{
    ComScope com;
    UniqueCom<IWICImagingFactory> factory;
    UniqueCom<IStream> stream;
    UniqueCom<IWICBitmapEncoder> encoder;
    UniqueCom<IWICBitmapFrameEncode> frame;
    WICPixelFormatGUID format = GUID_WICPixelFormat24bppBGR;
    HRESULT hr = CoCreateInstance(CLSID_WICImagingFactory, NULL, CLSCTX_INPROC_SERVER,
                                  IID_IWICImagingFactory, (void **)factory.put());
    if (SUCCEEDED(hr))
        hr = CreateStreamOnHGlobal(NULL, TRUE, stream.put());
    if (SUCCEEDED(hr))
        hr = factory.get()->CreateEncoder(GUID_ContainerFormatPng, NULL, encoder.put());
    if (SUCCEEDED(hr))
        hr = encoder.get()->Initialize(stream.get(), WICBitmapEncoderNoCache);
    if (SUCCEEDED(hr))
        hr = encoder.get()->CreateNewFrame(frame.put(), NULL);
    if (SUCCEEDED(hr))
        hr = frame.get()->Initialize(NULL);
    if (SUCCEEDED(hr))
        hr = frame.get()->SetSize(width, height);
    if (SUCCEEDED(hr))
        hr = frame.get()->SetPixelFormat(&format);
    if (SUCCEEDED(hr) && format != GUID_WICPixelFormat24bppBGR)
        hr = WINCODEC_ERR_UNSUPPORTEDPIXELFORMAT;
    if (SUCCEEDED(hr))
        hr = frame.get()->WritePixels(height, width * 3, (UINT)bgr.size(), (BYTE *)bgr.data());
    if (SUCCEEDED(hr))
        hr = frame.get()->Commit();
    if (SUCCEEDED(hr))
        hr = encoder.get()->Commit();
    if (SUCCEEDED(hr))
        hr = StreamBytes(stream.get(), png);
    return hr;
}

std::wstring ComMessage(HRESULT hr)
{
    if (HRESULT_FACILITY(hr) == FACILITY_WIN32)
        return SystemMessage(HRESULT_CODE(hr));
    static const wchar_t hex[] = L"0123456789ABCDEF";
    std::wstring code = L"error 0x";
    for (int shift = 28; shift >= 0; shift -= 4)
        code += hex[((unsigned long)hr >> shift) & 15];
    return code;
}

// Through a file beside path that takes its place when complete; deleted otherwise.
Failure WriteReplacing(const std::wstring &path, const std::string &bytes)
{
    std::wstring temporary = path + L"." + std::to_wstring(GetCurrentProcessId()) + L".tmp";
    UniqueHandle file(CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, NULL));
    DWORD error = 0, written = 0;
    if (!file.valid())
        error = GetLastError();
    else if (!WriteFile(file.get(), bytes.data(), (DWORD)bytes.size(), &written, NULL))
        error = GetLastError();
    else if (written != bytes.size())
        error = ERROR_DISK_FULL;
    bool made = file.valid();
    file.reset();
    if (!error && !MoveFileExW(temporary.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING))
        error = GetLastError();
    if (!error)
        return {};
    if (made)
        DeleteFileW(temporary.c_str());
    return Fail(kExitRunner, L"cannot write the screenshot " + path + L": " + SystemMessage(error));
}

} // namespace

std::vector<std::wstring> DescribeWindows(HANDLE job)
{
    std::vector<std::wstring> lines;
    for (HWND window : ShownWindows(job))
        lines.push_back(Describe(window));
    return lines;
}

Failure SaveScreenshot(HANDLE job, const std::wstring &path, std::wstring &why)
{
    why.clear();
    std::vector<HWND> windows = ShownWindows(job);
    RECT area;
    if (windows.empty()) {
        why = L"the program shows no window";
        return {};
    }
    if (!ShownArea(windows, area)) {
        why = L"its windows are minimized or off the screen";
        return {};
    }
    std::vector<DWORD> pixels = ReadScreen(area, why);
    if (pixels.empty())
        return {};
    if (AllAlike(pixels)) {
        why = L"nothing is drawn on the screen (no display): every pixel of its windows is alike";
        return {};
    }
    std::string png;
    HRESULT hr = EncodePng(Bgr(pixels), area.right - area.left, area.bottom - area.top, png);
    if (FAILED(hr))
        return Fail(kExitRunner, L"cannot encode the screenshot " + path + L": " + ComMessage(hr));
    return WriteReplacing(path, png);
}
