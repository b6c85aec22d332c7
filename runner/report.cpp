#include "runner/report.h"

#include <cwchar>

#include "runner/host.h"

namespace {

bool WriteAll(HANDLE handle, const char *data, size_t size)
{
    while (size > 0) {
        DWORD chunk = size > (1u << 20) ? (1u << 20) : (DWORD)size, written = 0;
        if (!WriteFile(handle, data, chunk, &written, NULL) || written == 0)
            return false;
        data += written;
        size -= written;
    }
    return true;
}

void WriteText(DWORD which, const std::wstring &text)
{
    HANDLE handle = GetStdHandle(which);
    if (handle == NULL || handle == INVALID_HANDLE_VALUE)
        return;
    DWORD written;
    if (IsConsole(handle)) {
        WriteConsoleW(handle, text.data(), (DWORD)text.size(), &written, NULL);
        return;
    }
    std::string bytes = Utf8(text);
    WriteAll(handle, bytes.data(), bytes.size());
}

} // namespace

bool IsConsole(HANDLE handle)
{
    DWORD mode;
    return handle != NULL && handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode);
}

void WriteError(const std::wstring &text) { WriteText(STD_ERROR_HANDLE, text); }

void WriteOutput(const std::wstring &text) { WriteText(STD_OUTPUT_HANDLE, text); }

void Say(const std::wstring &message)
{
    if (HostChannel *host = HostChannel::Get())
        host->Send("{\"say\": " + JsonString(Utf8(message)) + "}");
    else
        WriteError(L"mirdu-run: " + message + L"\n");
}

std::wstring Hex8(unsigned long long value)
{
    wchar_t text[20];
    swprintf(text, 20, L"%08llX", value);
    return text;
}

std::wstring Plural(unsigned long long count, const wchar_t *word)
{
    return std::to_wstring(count) + L" " + word + (count == 1 ? L"" : L"s");
}

std::wstring Widen(const std::string &text)
{
    int size = MultiByteToWideChar(CP_ACP, 0, text.data(), (int)text.size(), NULL, 0);
    std::wstring out(size, L'\0');
    MultiByteToWideChar(CP_ACP, 0, text.data(), (int)text.size(), &out[0], size);
    return out;
}

std::string Utf8(const std::wstring &text)
{
    int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), (int)text.size(), NULL, 0, NULL, NULL);
    std::string out(size, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), (int)text.size(), &out[0], size, NULL, NULL);
    return out;
}

std::wstring FromUtf8(const std::string &text)
{
    int size = MultiByteToWideChar(CP_UTF8, 0, text.data(), (int)text.size(), NULL, 0);
    std::wstring out(size, L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), (int)text.size(), &out[0], size);
    return out;
}

std::wstring SystemMessage(DWORD error)
{
    wchar_t *text = nullptr;
    DWORD size = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                    FORMAT_MESSAGE_IGNORE_INSERTS,
                                NULL, error, 0, (LPWSTR)&text, 0, NULL);
    if (!size)
        return L"error " + std::to_wstring(error);
    std::wstring message(text, size);
    LocalFree(text);
    while (!message.empty() && (message.back() == L'\n' || message.back() == L'\r' ||
                                message.back() == L'.' || message.back() == L' '))
        message.pop_back();
    return message + L" (error " + std::to_wstring(error) + L")";
}

Failure CreateRunFile(const std::wstring &path, const wchar_t *what, UniqueHandle &file)
{
    file.reset(CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, NULL,
                           CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL));
    if (!file.valid())
        return Fail(kExitRunner, std::wstring(L"cannot write the ") + what + L" " + path + L": " +
                                     SystemMessage(GetLastError()));
    return {};
}

Failure LineSinks::OpenLog(const std::wstring &path) { return CreateRunFile(path, L"log", log_); }

// The lines of one read go out in one write: a run that is stopped keeps what was read.
void LineSinks::Write(const std::vector<std::string> &lines, bool lastHasLineEnd)
{
    if (lines.empty())
        return;
    std::string text;
    for (size_t i = 0; i < lines.size(); i++)
        text += lines[i] + (i + 1 < lines.size() || lastHasLineEnd ? "\n" : "");
    if (log_.valid())
        WriteAll(log_.get(), text.data(), text.size());
    // Standard output may go away (a closed pipe): the run goes on.
    if (echo_ && !outputGone_)
        outputGone_ = !WriteAll(GetStdHandle(STD_OUTPUT_HANDLE), text.data(), text.size());
}

void LineSinks::Note(const std::wstring &message)
{
    std::string text = Utf8(L"mirdu-run: " + message) + "\n";
    if (log_.valid())
        WriteAll(log_.get(), text.data(), text.size());
}

void LineSinks::Tell(const std::wstring &message)
{
    Say(message);
    Note(message);
}
