#include "diagnostics/clsLogging.h"

#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "diagnostics/LogFile.h"
#include "host/AutomationDates.h"
#include "host/Platform.h"

namespace nubra {
namespace {

constexpr const char* kCrLf = "\r\n";

#ifndef NDEBUG
// Development builds echo entries the way a debugger's output window shows them: only when
// someone listens. Standard error stands in for that window once NUBRA_DEBUG_ECHO is set, so
// that programs whose standard error is part of their interface stay clean otherwise.
bool DebugChannelOpen() {
    const char* v = std::getenv("NUBRA_DEBUG_ECHO");
    return v && *v && std::string(v) != "0";
}
#endif

// Newer regional data puts a narrow no-break space (U+202F) before AM/PM and may use no-break
// spaces elsewhere; the log is a plain 8-bit file that other tools search, so its time stamps
// use the plain space.
std::string PlainSpaces(std::string text) {
    for (const std::string_view wide : {std::string_view("\xE2\x80\xAF"), std::string_view("\xC2\xA0")})
        for (size_t pos; (pos = text.find(wide)) != std::string::npos;) text.replace(pos, wide.size(), " ");
    return text;
}

std::string Quoted(const std::string& text) { return "\"" + text + "\"" + kCrLf; }

bool EndsWith(const std::string& s, const std::string& tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

}  // namespace

clsLogging::clsLogging() : appender_(std::make_unique<detail::LogAppender>(std::string())) {}

clsLogging::~clsLogging() = default;

void clsLogging::Append(const std::string& bytes) { appender_->Append(bytes); }

void clsLogging::LogFile(const std::string& psLogFilePath, const std::string& pslogfileName,
                         const std::string& psFirstLine, bool pbAppendToLog) {
    fullPath_ = psLogFilePath + "/" + pslogfileName;
    fileName_ = pslogfileName;
    appender_ = std::make_unique<detail::LogAppender>(fullPath_);

    // Only the last folder level is made; a missing parent is the caller's fault.
    detail::MakeLogFolder(psLogFilePath);

    std::string head;
    if (pbAppendToLog && EndsWith(pslogfileName, "qambaddin.log")) head += Quoted("") + Quoted("");
    if (!psFirstLine.empty()) head += Quoted(psFirstLine);
    detail::WriteLogFile(fullPath_, head, pbAppendToLog ? detail::LogWrite::Append : detail::LogWrite::Replace);
}

void clsLogging::WriteToLog(const std::string& psEntry) {
    try {
        const Date now = clock_ ? clock_() : dates::Now();
        const std::string line = PlainSpaces(dates::FormatGeneralDate(now)) + "  " + psEntry;
#ifndef NDEBUG
        if (debugEcho_ && DebugChannelOpen()) std::fprintf(stderr, "%s\n", line.c_str());
#endif
        if (toFile_) Append(line + kCrLf);
    } catch (const std::exception&) {
        ThePlatform().MsgBox("Writing of an entry in the errorlogfile '" + fullPath_ + "' has failed" + kCrLf + kCrLf +
                                 "The following entry could not be written:" + kCrLf + psEntry,
                             vbCritical, "");
    }
}

void clsLogging::WriteEmptyLine() {
    if (toFile_) Append(kCrLf);
}

void clsLogging::WriteToLogSpaced(const std::string& psEntry) {
    WriteEmptyLine();
    WriteToLog(psEntry);
    WriteEmptyLine();
}

}  // namespace nubra
