// The system's diagnostic log: a plain text file with one timestamped line per entry. Each
// entry is written to the file as it is made, so other programs can read it between entries
// and nothing is lost when the process ends.
#pragma once

#include <memory>
#include <string>

#include "host/Automation.h"

namespace nubra {

namespace detail {
class LogAppender;
}

class clsLogging {
public:
    clsLogging();
    ~clsLogging();

    // An empty line, the entry, another empty line. Raises what WriteEmptyLine raises.
    void WriteToLogSpaced(const std::string& psEntry);
    // Appends "<general date>  <entry>" as one line. Never raises: a failure is shown in a
    // message box naming the file and the entry, and the entry is lost.
    void WriteToLog(const std::string& psEntry);
    // Appends CR LF when the file switch is set. Raises 75/76 when the file cannot be opened.
    void WriteEmptyLine();
    // Chooses the log file psLogFilePath + "/" + pslogfileName, creates the last folder level
    // when missing, opens the file for appending (or empties it when pbAppendToLog is false)
    // and writes the quoted first line when given. Raises 76 (Path not found) when the folder
    // cannot be made and 75 when the file cannot be opened; the chosen path is kept either way.
    void LogFile(const std::string& psLogFilePath, const std::string& pslogfileName,
                 const std::string& psFirstLine = "", bool pbAppendToLog = false);
    void PrintToDebugWindow(bool poDebug) { debugEcho_ = poDebug; }
    void PrintToLogFile(bool poLog) { toFile_ = poLog; }
    std::string LogFileName() const { return fileName_; }

    // The full path entries go to (empty before LogFile).
    const std::string& FullPath() const { return fullPath_; }

    // Where timestamps come from: the current local time unless a test fixes the clock.
    using Clock = Date (*)();
    void UseClock(Clock clock) { clock_ = clock; }

private:
    // Appends `bytes` to the log file in one write; raises the file error's number.
    void Append(const std::string& bytes);
    std::string fullPath_;
    std::unique_ptr<detail::LogAppender> appender_;  // for fullPath_
    std::string fileName_;
    bool debugEcho_ = false;
    bool toFile_ = true;
    Clock clock_ = nullptr;
};

}  // namespace nubra
