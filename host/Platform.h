// The platform services the system calls besides the client: message boxes, letting the user
// interface process pending messages, special folders and the default browser. The running
// host installs one implementation (a window system, a terminal, a test recorder).
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace nubra::outlook {
class MAPIFolder;
}

namespace nubra {

// Message box styles and results, in the automation layer's numbering.
enum MsgBoxStyle : int {
    vbOKOnly = 0,
    vbCritical = 16,
    vbExclamation = 48,
    vbInformation = 64,
};
enum MsgBoxResult : int { vbOK = 1 };

class Platform {
public:
    virtual ~Platform() = default;
    // Shows a modal message box and returns when the user closed it. An empty title stands
    // for the platform's default title (the add-in's short name).
    virtual int MsgBox(const std::string& prompt, int style, const std::string& title) = 0;
    // Lets the user interface process its pending messages once.
    virtual void DoEvents() = 0;
    // Starts `program` with `arguments` (no shell involved). Returns false when it cannot be
    // started.
    virtual bool ShellExecute(const std::string& program, const std::vector<std::string>& arguments) = 0;
    // Keeps every other removal run, in this process or another, off `folder` for as long as
    // the returned object lives. Raises (with a text for the user) when another run holds the
    // folder; nothing is held then. The default holds nothing: a host whose stores only one
    // process opens needs no lock.
    virtual std::shared_ptr<void> LockFolderForRun(outlook::MAPIFolder& folder);
};

// Starts `program` with `arguments` directly (no shell, so no text of an argument is ever
// interpreted; on Windows each argument is quoted so that the program reads it back whole) and
// reaps it when it ends where the system needs that. False when it cannot be started.
bool StartProgram(const std::string& program, const std::vector<std::string>& arguments);

// The installed platform; until a host installs its own, a default: on Linux a quiet one (boxes
// on standard error, no events), on Windows the system's message boxes (over the active window)
// and the thread's message loop.
Platform& ThePlatform();
// Installs `platform` (not owned; it must outlive its use) or, with nullptr, the default.
void SetPlatform(Platform* platform);

}  // namespace nubra
