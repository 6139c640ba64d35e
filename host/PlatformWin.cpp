// The platform's Windows half: programs started by ShellExecuteW (the program itself as the
// file, so no command interpreter is involved; the arguments are quoted so that the program's
// command-line parsing gives them back exactly), message boxes by MessageBoxW over the active
// window, messages by the thread's message loop.
#include <windows.h>
#include <shellapi.h>

#include "host/Platform.h"
#include "host/PlatformDefault.h"
#include "host/Text.h"

namespace nubra {
namespace {

// One argument as CommandLineToArgvW and the C run-time read it back: in quotes when it holds
// a blank or a quote (or is empty), quotes escaped, backslashes doubled only before a quote.
std::wstring QuotedArgument(const std::wstring& arg) {
    if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos) return arg;
    std::wstring out = L"\"";
    for (auto it = arg.begin();; ++it) {
        size_t backslashes = 0;
        while (it != arg.end() && *it == L'\\') ++it, ++backslashes;
        if (it == arg.end()) {
            out.append(backslashes * 2, L'\\');
            break;
        }
        if (*it == L'"') {
            out.append(backslashes * 2 + 1, L'\\');
        } else {
            out.append(backslashes, L'\\');
        }
        out.push_back(*it);
    }
    out.push_back(L'"');
    return out;
}

}  // namespace

bool StartProgram(const std::string& program, const std::vector<std::string>& arguments) {
    // The program's own name is read without escapes: it can hold no quote.
    if (program.empty() || program.find('"') != std::string::npos) return false;
    std::wstring parameters;
    for (const auto& a : arguments) parameters += (parameters.empty() ? L"" : L" ") + QuotedArgument(text::Wide(a));
    // ShellExecute with the program itself as the file runs that program with these
    // parameters; no command interpreter reads them. The started program runs on its own.
    const auto result = reinterpret_cast<INT_PTR>(::ShellExecuteW(
        ::GetActiveWindow(), L"open", text::Wide(program).c_str(), parameters.c_str(), nullptr, SW_SHOWNORMAL));
    return result > 32;
}

namespace detail {

int DefaultMsgBox(const std::string& prompt, int style, const std::string& title) {
    const int result = ::MessageBoxW(::GetActiveWindow(), text::Wide(prompt).c_str(), text::Wide(title).c_str(),
                                     static_cast<UINT>(style));
    return result ? result : vbOK;
}

void DefaultDoEvents() {
    MSG msg;
    while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        if (msg.message == WM_QUIT) {
            // Left for the loop that owns the thread.
            ::PostQuitMessage(static_cast<int>(msg.wParam));
            break;
        }
        ::TranslateMessage(&msg);
        ::DispatchMessageW(&msg);
    }
}

}  // namespace detail
}  // namespace nubra
