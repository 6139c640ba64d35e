// How the command line speaks: errors and warnings one line each on standard error (control
// characters shown escaped), and output that could not be written counted as a failure.
#pragma once

#include <string>

namespace nubra::cli {

// A failure of the command itself (not of the system it runs): one line on standard error.
struct CommandError {
    std::string message;
};

void PrintError(const std::string& message);
void PrintWarning(const std::string& message);

// Flushes standard output; raises CommandError when it could not be written (a full disk, a
// closed pipe): a command whose output was lost has failed.
void CheckOutput();

}  // namespace nubra::cli
