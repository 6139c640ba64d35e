// How the command line speaks: errors and warnings one line each on standard error (control
// characters shown escaped), tables aligned as a terminal shows them, and output that could not
// be written counted as a failure.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace nubra::cli {

// A failure of the command itself (not of the system it runs): one line on standard error.
struct CommandError {
    std::string message;
};

void PrintError(const std::string& message);
void PrintWarning(const std::string& message);
// A remark the user should see beside the results ("nubrasweep: note: ...").
void PrintNote(const std::string& message);

// Flushes standard output; raises CommandError saying why it could not be written (a full
// disk, a closed pipe): a command whose output was lost has failed.
void CheckOutput();

// Sends standard output (std::cout) through write(2) for as long as it lives, so that a failed
// write keeps the system's reason for CheckOutput. One per program, in Main.
class OutputChannel {
public:
    OutputChannel();
    ~OutputChannel();
    OutputChannel(const OutputChannel&) = delete;
    OutputChannel& operator=(const OutputChannel&) = delete;
};

// The columns `text` (UTF-8) takes on a terminal: East Asian wide and full-width characters
// two, combining marks and other zero-width characters none, everything else one (a byte that
// is no UTF-8 counts one).
std::size_t DisplayWidth(std::string_view text);

// Prints rows with each column as wide as its widest cell, two spaces apart (the last column
// is not padded, no line ends in spaces), each line begun with `indent`.
void PrintTable(const std::vector<std::vector<std::string>>& rows, const std::string& indent = "");

}  // namespace nubra::cli
