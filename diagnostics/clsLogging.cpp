#include "diagnostics/clsLogging.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "host/AutomationDates.h"
#include "host/Platform.h"

namespace nubra {
namespace {

constexpr const char* kCrLf = "\r\n";

// The run-time error a failed file call stands for.
[[noreturn]] void RaiseFileError(int error, const std::string& path) {
    switch (error) {
        case ENOENT:
        case ENOTDIR: RaiseError(errnum::kPathNotFound, {}, path);
        case ENOSPC:
        case EDQUOT: RaiseError(errnum::kDiskFull, {}, path);
        default: RaiseError(errnum::kPathFileAccess, {}, path);
    }
}

// Opens, writes everything in one call where possible, closes. O_APPEND keeps each entry whole
// even when another process appends at the same time.
void WriteFile(const std::string& path, const std::string& bytes, int openFlags) {
    // Never through a link: one planted in a shared folder would send mail subjects into any
    // file this user may write. The log holds mail subjects, so it is the user's own.
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW | openFlags, 0600);
    if (fd < 0) RaiseFileError(errno, path);
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            int error = errno;
            ::close(fd);
            RaiseFileError(error, path);
        }
        done += static_cast<size_t>(n);
    }
    if (::close(fd) != 0 && errno != EINTR) RaiseFileError(errno, path);
}

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

void clsLogging::Append(const std::string& bytes) const { WriteFile(fullPath_, bytes, O_APPEND); }

void clsLogging::LogFile(const std::string& psLogFilePath, const std::string& pslogfileName,
                         const std::string& psFirstLine, bool pbAppendToLog) {
    fullPath_ = psLogFilePath + "/" + pslogfileName;
    fileName_ = pslogfileName;

    // Only the last folder level is made; a missing parent is the caller's fault.
    struct stat st{};
    if (::lstat(psLogFilePath.c_str(), &st) != 0) {
        if (::mkdir(psLogFilePath.c_str(), 0755) != 0 && errno != EEXIST) RaiseFileError(errno, psLogFilePath);
    }

    std::string head;
    if (pbAppendToLog && EndsWith(pslogfileName, "qambaddin.log")) head += Quoted("") + Quoted("");
    if (!psFirstLine.empty()) head += Quoted(psFirstLine);
    WriteFile(fullPath_, head, pbAppendToLog ? O_APPEND : O_TRUNC);
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
