// ui_probe: records what the Kestrova setup window shows, for the end-to-end tests.
//
//   ui_probe.exe --out <log file> [--close-when-title <text>] [--close-file <file>]
//                [--dismiss-file <file>] [--timeout-ms <n>]
//
// Writes UTF-8 lines "<ms since start>\t<event>[\t<value>...]" to the log file, each
// written out on its own as soon as it happens. Events: ready, window, state, close,
// box, dismissed, end, timeout (see README.md here). Exit status 0 after `end`,
// 1 after `timeout`, 2 on a usage or setup error.
//
// The observing happens in ui_probe_hook.dll, which this program installs as a global
// CBT hook; the DLL reports synchronously into a message-only window here.

#include "probe_protocol.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

namespace {

struct HandleCloser {
    void operator()(HANDLE handle) const { CloseHandle(handle); }
};
using UniqueHandle = std::unique_ptr<void, HandleCloser>;

// CreateFileW with failure as an empty owner.
UniqueHandle OpenFile(const std::wstring& path, DWORD access, DWORD share, DWORD disposition) {
    HANDLE file = CreateFileW(path.c_str(), access, share, nullptr, disposition,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    return UniqueHandle(file == INVALID_HANDLE_VALUE ? nullptr : file);
}

struct HookRemover {
    void operator()(HHOOK hook) const { UnhookWindowsHookEx(hook); }
};
using UniqueHook = std::unique_ptr<std::remove_pointer_t<HHOOK>, HookRemover>;

struct LibraryFreer {
    void operator()(HMODULE module) const { FreeLibrary(module); }
};
using UniqueLibrary = std::unique_ptr<std::remove_pointer_t<HMODULE>, LibraryFreer>;

struct WindowDestroyer {
    void operator()(HWND window) const { DestroyWindow(window); }
};
using UniqueWindow = std::unique_ptr<std::remove_pointer_t<HWND>, WindowDestroyer>;

struct Options {
    std::wstring out;
    std::wstring closeWhenTitle;
    bool closeRequested = false;
    std::wstring closeFile;
    std::wstring dismissFile;
    ULONGLONG timeoutMs = 60000;
};

class Clock {
public:
    Clock() {
        QueryPerformanceFrequency(&frequency_);
        QueryPerformanceCounter(&start_);
    }
    ULONGLONG ElapsedMs() const {
        LARGE_INTEGER now;
        QueryPerformanceCounter(&now);
        return static_cast<ULONGLONG>((now.QuadPart - start_.QuadPart) * 1000 /
                                      frequency_.QuadPart);
    }

private:
    LARGE_INTEGER frequency_{};
    LARGE_INTEGER start_{};
};

std::string Utf8(std::wstring_view text) {
    if (text.empty()) return {};
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                         nullptr, 0, nullptr, nullptr);
    std::string result(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), result.data(), size,
                        nullptr, nullptr);
    return result;
}

// Keeps one event on one line: backslash, tab, CR and LF become \\, \t, \r, \n.
std::wstring Escape(std::wstring_view text) {
    std::wstring result;
    for (wchar_t c : text) {
        switch (c) {
        case L'\\': result += L"\\\\"; break;
        case L'\t': result += L"\\t"; break;
        case L'\r': result += L"\\r"; break;
        case L'\n': result += L"\\n"; break;
        default: result += c;
        }
    }
    return result;
}

class Log {
public:
    explicit Log(UniqueHandle file) : file_(std::move(file)) {}

    void Write(std::initializer_list<std::wstring_view> fields) {
        std::string line = std::to_string(clock_.ElapsedMs());
        for (std::wstring_view field : fields) {
            line += '\t';
            line += Utf8(Escape(field));
        }
        line += '\n';
        // Unbuffered: a reader sees the line as soon as WriteFile returns.
        DWORD written = 0;
        WriteFile(file_.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    }

    ULONGLONG ElapsedMs() const { return clock_.ElapsedMs(); }

private:
    UniqueHandle file_;
    Clock clock_;
};

class Probe {
public:
    Probe(Options options, UniqueHandle logFile)
        : options_(std::move(options)), log_(std::move(logFile)) {}

    Log& log() { return log_; }

    // Called for each WM_COPYDATA from the hook; the setup thread waits meanwhile.
    void OnReport(const COPYDATASTRUCT& data) {
        probe::ReportHeader header{};
        if (data.cbData < sizeof(header) || !data.lpData) return;
        std::memcpy(&header, data.lpData, sizeof(header));
        const std::vector<std::wstring> strings = SplitStrings(data);
        const HWND window = reinterpret_cast<HWND>(static_cast<UINT_PTR>(header.window));
        if (setupProcessId_ && header.processId != setupProcessId_) return;  // another instance
        if (!setupProcessId_) {
            setupProcessId_ = header.processId;
            setupProcess_.reset(OpenProcess(SYNCHRONIZE, FALSE, header.processId));
        }

        if (data.dwData == probe::ReportState && strings.size() == 3) {
            if (window != setupWindow_) {
                setupWindow_ = window;
                log_.Write({L"window", strings[0]});
            }
            const std::wstring position = std::to_wstring(header.value);
            if (haveState_ && strings[1] == title_ && strings[2] == detail_ &&
                position == position_)
                return;
            haveState_ = true;
            title_ = strings[1];
            detail_ = strings[2];
            position_ = position;
            log_.Write({L"state", title_, detail_, position_});
            if (options_.closeRequested && title_ == options_.closeWhenTitle) {
                // Queued behind the pump that is running right now, like a click on [x].
                PostClose();
            }
        } else if (data.dwData == probe::ReportBox && strings.size() == 1) {
            const wchar_t* kind = header.value == probe::BoxError         ? L"error"
                                  : header.value == probe::BoxInformation ? L"information"
                                                                          : L"other";
            log_.Write({L"box", kind, strings[0]});
            boxesToDismiss_.push_back(window);
        }
    }

    // Runs until the setup process has ended (0) or the time is up (1).
    int Run() {
        for (;;) {
            MSG message;
            while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&message);

            if (setupProcess_ && WaitForSingleObject(setupProcess_.get(), 0) == WAIT_OBJECT_0) {
                log_.Write({L"end"});
                return 0;
            }
            DismissBoxes();
            if (!options_.closeFile.empty() && setupWindow_ &&
                GetFileAttributesW(options_.closeFile.c_str()) != INVALID_FILE_ATTRIBUTES) {
                PostClose();
            }

            const ULONGLONG elapsed = log_.ElapsedMs();
            if (elapsed >= options_.timeoutMs) {
                log_.Write({L"timeout"});
                return 1;
            }
            // Short steps while a file is polled: the dismiss file for a waiting box,
            // or the close file.
            const bool polling = !boxesToDismiss_.empty() || (!options_.closeFile.empty() && !closeSent_);
            const ULONGLONG wait = std::min<ULONGLONG>(options_.timeoutMs - elapsed, polling ? 10 : 1000);
            HANDLE process = setupProcess_.get();
            MsgWaitForMultipleObjectsEx(process ? 1 : 0, process ? &process : nullptr,
                                        static_cast<DWORD>(wait), QS_ALLINPUT, MWMO_INPUTAVAILABLE);
        }
    }

private:
    static std::vector<std::wstring> SplitStrings(const COPYDATASTRUCT& data) {
        std::vector<std::wstring> strings;
        const auto* begin = reinterpret_cast<const wchar_t*>(static_cast<const BYTE*>(data.lpData) +
                                                             sizeof(probe::ReportHeader));
        const auto* end = begin + (data.cbData - sizeof(probe::ReportHeader)) / sizeof(wchar_t);
        for (const wchar_t* p = begin; p < end;) {
            const wchar_t* stop = std::wmemchr(p, L'\0', static_cast<size_t>(end - p));
            if (!stop) break;
            strings.emplace_back(p, stop);
            p = stop + 1;
        }
        return strings;
    }

    // Closes the setup window once, the way its close button does.
    void PostClose() {
        if (closeSent_) return;
        closeSent_ = true;
        PostMessageW(setupWindow_, WM_CLOSE, 0, 0);
        log_.Write({L"close"});
    }

    // Presses OK on each reported box, once the dismiss file (if any) exists.
    void DismissBoxes() {
        while (!boxesToDismiss_.empty()) {
            if (!options_.dismissFile.empty() &&
                GetFileAttributesW(options_.dismissFile.c_str()) == INVALID_FILE_ATTRIBUTES)
                return;
            HWND box = boxesToDismiss_.front();
            boxesToDismiss_.pop_front();
            if (!IsWindow(box)) continue;
            // What the OK button sends its dialog when clicked.
            PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
                         reinterpret_cast<LPARAM>(GetDlgItem(box, IDOK)));
            log_.Write({L"dismissed"});
            // Used up: a later box waits for the file to appear again.
            if (!options_.dismissFile.empty()) DeleteFileW(options_.dismissFile.c_str());
        }
    }

    Options options_;
    Log log_;
    DWORD setupProcessId_ = 0;
    UniqueHandle setupProcess_;
    HWND setupWindow_ = nullptr;
    bool haveState_ = false;
    std::wstring title_, detail_, position_;
    bool closeSent_ = false;
    std::deque<HWND> boxesToDismiss_;
};

LRESULT CALLBACK SinkProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_NCCREATE) {
        auto* create = reinterpret_cast<CREATESTRUCTW*>(lParam);
        SetWindowLongPtrW(window, GWLP_USERDATA,
                          reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    } else if (message == WM_COPYDATA) {
        auto* probe = reinterpret_cast<Probe*>(GetWindowLongPtrW(window, GWLP_USERDATA));
        if (probe) probe->OnReport(*reinterpret_cast<const COPYDATASTRUCT*>(lParam));
        return TRUE;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

bool ParseOptions(int argc, wchar_t** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        const std::wstring_view name = argv[i];
        if (i + 1 >= argc) return false;
        const wchar_t* value = argv[++i];
        if (name == L"--out") {
            options.out = value;
        } else if (name == L"--close-when-title") {
            options.closeWhenTitle = value;
            options.closeRequested = true;
        } else if (name == L"--close-file") {
            options.closeFile = value;
        } else if (name == L"--dismiss-file") {
            options.dismissFile = value;
        } else if (name == L"--timeout-ms") {
            wchar_t* end = nullptr;
            options.timeoutMs = std::wcstoull(value, &end, 10);
            if (*value == L'\0' || *end != L'\0') return false;
        } else {
            return false;
        }
    }
    return !options.out.empty();
}

int Fail(const char* what) {
    std::fprintf(stderr, "ui_probe: %s (error %lu)\n", what, GetLastError());
    return 2;
}

std::wstring ModuleDirectory() {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length =
            GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (length < path.size()) {
            path.resize(length);
            break;
        }
        path.resize(path.size() * 2);
    }
    return path.substr(0, path.find_last_of(L"\\/") + 1);
}

bool ReadWholeFile(const std::wstring& path, std::vector<char>& data) {
    UniqueHandle file = OpenFile(path, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
    LARGE_INTEGER size{};
    if (!file || !GetFileSizeEx(file.get(), &size)) return false;
    data.resize(static_cast<size_t>(size.QuadPart));
    DWORD read = 0;
    return ReadFile(file.get(), data.data(), static_cast<DWORD>(data.size()), &read, nullptr) &&
           read == data.size();
}

// Other processes (explorer.exe at least) keep a hook DLL loaded once they have called
// it, and find it again by its path. So the hook uses a copy in the temporary directory
// named after the DLL's content: an unchanged DLL is shared by all runs, and a rebuilt
// one can never be mistaken for an old one still loaded under the same name.
std::wstring StageHookDll(const std::wstring& source) {
    std::vector<char> data;
    wchar_t tempDirectory[MAX_PATH + 1];
    if (!ReadWholeFile(source, data) || !GetTempPathW(MAX_PATH + 1, tempDirectory)) return {};
    std::uint64_t hash = 14695981039346656037ull;  // FNV-1a
    for (char byte : data) hash = (hash ^ static_cast<unsigned char>(byte)) * 1099511628211ull;
    wchar_t name[64];
    std::swprintf(name, 64, L"kestrova-ui-probe-%016llx.dll",
                  static_cast<unsigned long long>(hash));
    const std::wstring target = std::wstring(tempDirectory) + name;
    if (GetFileAttributesW(target.c_str()) != INVALID_FILE_ATTRIBUTES) return target;

    // Written under a private name and renamed, so a parallel run never loads half a file.
    const std::wstring partial = target + L"." + std::to_wstring(GetCurrentProcessId());
    {
        UniqueHandle file = OpenFile(partial, GENERIC_WRITE, 0, CREATE_ALWAYS);
        DWORD written = 0;
        if (!file ||
            !WriteFile(file.get(), data.data(), static_cast<DWORD>(data.size()), &written, nullptr))
            return {};
    }
    if (!MoveFileExW(partial.c_str(), target.c_str(), 0)) DeleteFileW(partial.c_str());
    return GetFileAttributesW(target.c_str()) != INVALID_FILE_ATTRIBUTES ? target : std::wstring();
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    Options options;
    if (!ParseOptions(argc, argv, options)) {
        std::fprintf(stderr,
                     "usage: ui_probe --out <log file> [--close-when-title <text>] [--close-file <file>] "
                     "[--dismiss-file <file>] [--timeout-ms <n>]\n");
        return 2;
    }

    UniqueHandle logFile =
        OpenFile(options.out, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, CREATE_ALWAYS);
    if (!logFile) return Fail("cannot create the log file");
    Probe probe(std::move(options), std::move(logFile));

    HINSTANCE instance = GetModuleHandleW(nullptr);
    WNDCLASSW sinkClass{};
    sinkClass.lpfnWndProc = SinkProc;
    sinkClass.hInstance = instance;
    sinkClass.lpszClassName = probe::SinkClassName;
    if (!RegisterClassW(&sinkClass)) return Fail("cannot register the sink window class");
    UniqueWindow sink(CreateWindowExW(0, probe::SinkClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE,
                                      nullptr, instance, &probe));
    if (!sink) return Fail("cannot create the sink window");

    const std::wstring hookPath = StageHookDll(ModuleDirectory() + L"ui_probe_hook.dll");
    if (hookPath.empty())
        return Fail("cannot stage ui_probe_hook.dll (expected next to ui_probe.exe)");
    UniqueLibrary hookLibrary(LoadLibraryW(hookPath.c_str()));
    if (!hookLibrary) return Fail("cannot load the hook DLL");
    auto cbtProc = reinterpret_cast<HOOKPROC>(
        reinterpret_cast<void*>(GetProcAddress(hookLibrary.get(), probe::CbtProcName)));
    if (!cbtProc) return Fail("the hook DLL lacks its procedure");
    UniqueHook cbtHook(SetWindowsHookExW(WH_CBT, cbtProc, hookLibrary.get(), 0));
    if (!cbtHook) return Fail("cannot install the hook");

    probe.log().Write({L"ready"});
    return probe.Run();
}
