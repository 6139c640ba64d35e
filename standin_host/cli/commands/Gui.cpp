// gui: the explorer window over the profile, with the add-in's menu.
#include <dlfcn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <iostream>

#include "standin_host/cli/Cli.h"
#include "standin_host/cli/CommandTable.h"
#include "standin_host/cli/Output.h"
#include "standin_host/client/AddinSetup.h"
#ifdef NUBRA_WITH_GUI
#include "standin_host/client/ExplorerWindow.h"
#endif

namespace nubra::cli {
namespace {

#ifdef NUBRA_WITH_GUI
std::string Getenv(const char* name) {
    const char* v = std::getenv(name);
    return v ? v : "";
}

// Whether the X server `display` answers, asked the way Qt's xcb platform asks (libxcb, which
// that platform needs anyway, loaded only for the question).
bool XDisplayAnswers(const std::string& display) {
    void* xcb = ::dlopen("libxcb.so.1", RTLD_NOW | RTLD_LOCAL);
    if (!xcb) return false;
    using Connect = void* (*)(const char*, int*);
    using HasError = int (*)(void*);
    using Disconnect = void (*)(void*);
    const auto connect = reinterpret_cast<Connect>(::dlsym(xcb, "xcb_connect"));
    const auto hasError = reinterpret_cast<HasError>(::dlsym(xcb, "xcb_connection_has_error"));
    const auto disconnect = reinterpret_cast<Disconnect>(::dlsym(xcb, "xcb_disconnect"));
    bool answers = false;
    if (connect && hasError && disconnect) {
        void* connection = connect(display.c_str(), nullptr);
        answers = connection && hasError(connection) == 0;
        if (connection) disconnect(connection);  // a failed connection is freed the same way
    }
    ::dlclose(xcb);
    return answers;
}

// The socket of the Wayland compositor `display` names, as libwayland finds it.
std::string WaylandSocket(const std::string& display) {
    if (display.front() == '/') return display;
    const std::string runtime = Getenv("XDG_RUNTIME_DIR");
    return runtime.empty() ? std::string() : runtime + "/" + display;
}

bool WaylandAnswers(const std::string& socketPath) {
    sockaddr_un address{};
    if (socketPath.empty() || socketPath.size() >= sizeof address.sun_path) return false;
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, socketPath.c_str(), socketPath.size());
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    const bool answers = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return answers;
}

// Why no window could be opened, "" when one can: Qt ends the program (SIGABRT) when its
// platform finds no display, so the display is looked for before Qt starts.
std::string NoDisplay() {
    // A platform without a display server (offscreen, vnc, eglfs, ...) is Qt's own business.
    const std::string platform = Getenv("QT_QPA_PLATFORM");
    if (!platform.empty() && platform.rfind("xcb", 0) != 0 && platform.rfind("wayland", 0) != 0) return {};
    const std::string x = Getenv("DISPLAY");
    const std::string wayland = Getenv("WAYLAND_DISPLAY");
    if (x.empty() && wayland.empty()) return "neither DISPLAY nor WAYLAND_DISPLAY is set";
    std::string why;
    if (!wayland.empty()) {
        const std::string socketPath = WaylandSocket(wayland);
        if (WaylandAnswers(socketPath)) return {};
        why = "no Wayland compositor answers at \"" + (socketPath.empty() ? wayland : socketPath) + "\" (WAYLAND_DISPLAY)";
    }
    if (!x.empty()) {
        if (XDisplayAnswers(x)) return {};
        why += (why.empty() ? "" : "; ") + std::string("the X display \"") + x + "\" does not answer (DISPLAY)";
    }
    return why;
}
#endif

int Run(Invocation& in) {
#ifdef NUBRA_WITH_GUI
    if (const std::string why = NoDisplay(); !why.empty()) {
        PrintError("no display to open the window on (" + why + ")");
        return kExitFailure;
    }
    client::EnsureAddinRegistered(client::DefaultModuleFile());
    return client::RunExplorerApplication(in.Profile(), in.argc, in.argv);
#else
    (void)in;
    PrintError("this build has no windows (built without NUBRA_BUILD_GUI)");
    return kExitFailure;
#endif
}

}  // namespace

CommandSpec GuiCommand() {
    return {.name = "gui", .summary = "Open the explorer window over the profile, with the add-in's menu", .run = Run};
}

}  // namespace nubra::cli
