#include "standin_host/cli/Output.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>

#include "standin_host/cli/TerminalControls.h"

namespace nubra::cli {

void PrintError(const std::string& message) { std::cerr << "nubrasweep: error: " << Printable(message) << "\n"; }
void PrintWarning(const std::string& message) { std::cerr << "nubrasweep: warning: " << Printable(message) << "\n"; }

void CheckOutput() {
    if (std::cout.flush() && std::fflush(stdout) == 0 && !std::ferror(stdout)) return;
    const int error = errno;
    throw CommandError{std::string("cannot write the output") + (error ? ": " + std::string(std::strerror(error)) : "")};
}

}  // namespace nubra::cli
