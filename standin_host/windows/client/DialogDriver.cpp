#include "standin_host/windows/client/DialogDriver.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <commctrl.h>

#include <chrono>

#include "host/win/Com.h"

#if __has_include("ui/win/DialogControls.h")
#include "ui/win/DialogControls.h"
#define NUBRA_DIALOG_KNOWN 1
#endif

namespace nubra::winclient {

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kOpenTimeout = std::chrono::seconds(20);
constexpr auto kRunTimeout = std::chrono::seconds(40);
constexpr auto kCloseTimeout = std::chrono::seconds(10);
constexpr DWORD kSendTimeoutMs = 5000;

void Pause() { Sleep(50); }

std::string WindowText(HWND window) {
    wchar_t buf[2048];
    DWORD_PTR length = 0;
    if (!SendMessageTimeoutW(window, WM_GETTEXT, 2048, reinterpret_cast<LPARAM>(buf), SMTO_NORMAL, kSendTimeoutMs,
                             &length))
        return {};
    return win::Utf8(buf, static_cast<std::size_t>(length));
}

BOOL CALLBACK CollectBox(HWND window, LPARAM param) {
    wchar_t cls[64], title[256];
    GetClassNameW(window, cls, 64);
    GetWindowTextW(window, title, 256);
    if (wcscmp(cls, L"#32770") == 0 && wcscmp(title, L"Nubrasweep") == 0 && IsWindowVisible(window)) {
        DWORD pid = 0;
        GetWindowThreadProcessId(window, &pid);
        if (pid == GetCurrentProcessId()) reinterpret_cast<std::vector<HWND>*>(param)->push_back(window);
    }
    return TRUE;
}

#ifdef NUBRA_DIALOG_KNOWN
// The tree item at "Store\Folder\Sub" (names compared as shown), or null.
HTREEITEM FindNode(HWND tree, const std::string& path) {
    std::vector<std::string> parts;
    for (std::size_t start = 0;;) {
        const auto end = path.find('\\', start);
        parts.push_back(path.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos) break;
        start = end + 1;
    }
    auto next = [&](HTREEITEM item, WPARAM how) {
        DWORD_PTR r = 0;
        SendMessageTimeoutW(tree, TVM_GETNEXTITEM, how, reinterpret_cast<LPARAM>(item), SMTO_NORMAL, kSendTimeoutMs, &r);
        return reinterpret_cast<HTREEITEM>(r);
    };
    auto text = [&](HTREEITEM item) {
        wchar_t buf[512] = {};
        TVITEMW tv{};
        tv.mask = TVIF_TEXT;
        tv.hItem = item;
        tv.pszText = buf;
        tv.cchTextMax = 512;
        DWORD_PTR r = 0;
        SendMessageTimeoutW(tree, TVM_GETITEMW, 0, reinterpret_cast<LPARAM>(&tv), SMTO_NORMAL, kSendTimeoutMs, &r);
        return win::Utf8(buf);
    };
    HTREEITEM item = next(nullptr, TVGN_ROOT);
    for (std::size_t i = 0; i < parts.size(); ++i) {
        while (item && text(item) != parts[i]) item = next(item, TVGN_NEXT);
        if (!item) return nullptr;
        if (i + 1 < parts.size()) item = next(item, TVGN_CHILD);
    }
    return item;
}
#endif

}  // namespace

std::vector<std::string> AnswerMessageBoxes() {
    std::vector<HWND> boxes;
    EnumWindows(CollectBox, reinterpret_cast<LPARAM>(&boxes));
    std::vector<std::string> texts;
    for (HWND box : boxes) {
        // The message box's text is its static control 0xFFFF.
        HWND label = GetDlgItem(box, 0xFFFF);
        texts.push_back(label ? WindowText(label) : WindowText(box));
        HWND ok = GetDlgItem(box, IDOK);
        if (!ok) ok = GetDlgItem(box, IDCANCEL);
        PostMessageW(box, WM_COMMAND, MAKEWPARAM(ok ? GetDlgCtrlID(ok) : IDOK, BN_CLICKED), reinterpret_cast<LPARAM>(ok));
    }
    return texts;
}

bool DialogDriver::DialogKnown() {
#ifdef NUBRA_DIALOG_KNOWN
    return true;
#else
    return false;
#endif
}

DialogDriver::DialogDriver(DialogPlan plan) : plan_(std::move(plan)) {
    thread_ = std::thread([this] {
        Run();
        done_ = true;
    });
}

DialogDriver::~DialogDriver() {
    if (thread_.joinable()) Finish();
}

DialogOutcome DialogDriver::Finish() {
    while (!done_) {
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_ALLINPUT);
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
    }
    thread_.join();
    return outcome_;
}

#ifdef NUBRA_DIALOG_KNOWN
namespace {
// The keyboard reaches the dialog through the client's own message loop: Tab moves the focus
// from control to control, as in any dialog.
bool TabMovesFocus(HWND dialog) {
    const DWORD owner = GetWindowThreadProcessId(dialog, nullptr);
    auto focus = [&] {
        GUITHREADINFO info{};
        info.cbSize = sizeof info;
        return GetGUIThreadInfo(owner, &info) ? info.hwndFocus : nullptr;
    };
    const HWND before = focus();
    PostMessageW(before && IsChild(dialog, before) ? before : dialog, WM_KEYDOWN, VK_TAB, 0);
    HWND after = before;
    for (auto until = Clock::now() + kCloseTimeout; after == before && Clock::now() < until; Pause()) after = focus();
    return after != before && IsChild(dialog, after);
}
}  // namespace
#endif

void DialogDriver::Run() {
#ifndef NUBRA_DIALOG_KNOWN
    outcome_.failures.push_back("the Win32 dialog (ui/win/DialogControls.h) is not in this build");
#else
    using namespace nubra::ui::win;
    auto answer = [&] {
        for (auto& t : AnswerMessageBoxes()) outcome_.messageBoxes.push_back(t);
    };
    // The window counts as open once it shows with its controls (it is found before they exist).
    HWND dialog = nullptr, tree = nullptr, run = nullptr, close = nullptr, status = nullptr;
    for (auto until = Clock::now() + kOpenTimeout; !close && Clock::now() < until; Pause()) {
        dialog = FindWindowW(kWindowClass, kWindowCaption);
        if (dialog && IsWindowVisible(dialog)) {
            tree = GetDlgItem(dialog, kIdTree);
            run = GetDlgItem(dialog, kIdRun);
            status = GetDlgItem(dialog, kIdStatus);
            if (tree && run && status) close = GetDlgItem(dialog, kIdClose);
        }
        if (!close) answer();
    }
    if (!close) {
        outcome_.failures.push_back(dialog ? "the dialog showed no controls within 20 s" : "the dialog did not open within 20 s");
        if (dialog) PostMessageW(dialog, WM_CLOSE, 0, 0);
        return;
    }
    outcome_.opened = true;
    if (!plan_.folder.empty()) {
        HTREEITEM node = nullptr;
        // The tree may still be filling.
        for (auto until = Clock::now() + kOpenTimeout; !node && Clock::now() < until; Pause()) {
            node = FindNode(tree, plan_.folder);
            answer();
        }
        if (!node) {
            outcome_.failures.push_back("no folder \"" + plan_.folder + "\" in the dialog's tree");
        } else {
            DWORD_PTR r = 0;
            SendMessageTimeoutW(tree, TVM_SELECTITEM, TVGN_CARET, reinterpret_cast<LPARAM>(node), SMTO_NORMAL,
                                kSendTimeoutMs, &r);
            const std::string before = WindowText(status);
            for (auto until = Clock::now() + kOpenTimeout; !IsWindowEnabled(run) && Clock::now() < until; Pause()) answer();
            if (!IsWindowEnabled(run)) outcome_.failures.push_back("the run button stayed disabled for " + plan_.folder);
            PostMessageW(run, BM_CLICK, 0, 0);
            // Done when both buttons are back and the status line shows a new text that stays
            // (a run may end before it was ever seen busy).
            bool finished = false;
            std::string last = before;
            auto changed = Clock::now();
            for (auto until = Clock::now() + kRunTimeout; !finished && Clock::now() < until; Pause()) {
                answer();
                const bool enabled = IsWindowEnabled(run) && IsWindowEnabled(close);
                const std::string now = WindowText(status);
                if (now != last || !enabled) {
                    last = now;
                    changed = Clock::now();
                }
                finished = enabled && !now.empty() && now != before && Clock::now() - changed > std::chrono::milliseconds(300);
            }
            if (!finished) outcome_.failures.push_back("the run over " + plan_.folder + " did not end within 40 s");
            outcome_.status = WindowText(status);
        }
    }
    answer();
    if (!TabMovesFocus(dialog)) outcome_.failures.push_back("Tab did not move the focus to another control of the dialog");
    PostMessageW(close, BM_CLICK, 0, 0);
    for (auto until = Clock::now() + kCloseTimeout; IsWindow(dialog) && Clock::now() < until; Pause()) answer();
    if (IsWindow(dialog)) {
        outcome_.failures.push_back("the dialog did not close on its Close button");
        PostMessageW(dialog, WM_CLOSE, 0, 0);
    } else {
        outcome_.closed = true;
    }
#endif
}

}  // namespace nubra::winclient
