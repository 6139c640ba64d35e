// The log's file calls, one half per operating system (LogFilePosix.cpp, LogFileWin.cpp), so
// that the log's lines and behaviour (clsLogging.cpp) are the same everywhere. For
// diagnostics/ only.
#pragma once

#include <cstdint>
#include <string>

namespace nubra::detail {

enum class LogWrite { Append, Replace };

// Opens the file `path` (made when missing, only this user may read it where the system has
// such rights; never through a link), appends `bytes` or replaces its contents with them, and
// closes it. An append is one write, so entries stay whole when another process appends at the
// same time. Raises 76 (path not found), 61 (disk full) or 75 (any other failure, a link
// included), naming the file; a failed write may leave part of `bytes` in the file.
void WriteLogFile(const std::string& path, const std::string& bytes, LogWrite mode);

// Appends entries to the log file `path`, made when missing as WriteLogFile makes it. Where the
// system allows, the file stays open from one entry to the next (opening it costs more than
// the write) for as long as `path` still names it: once the file is removed, renamed or
// replaced, the next entry opens the name again, so it fails, or goes to the new file, as it
// would with a file opened per entry. Append raises like WriteLogFile; after a failure the
// next entry opens the file again.
class LogAppender {
public:
    explicit LogAppender(std::string path) : path_(std::move(path)) {}
    ~LogAppender();
    LogAppender(const LogAppender&) = delete;
    LogAppender& operator=(const LogAppender&) = delete;

    void Append(const std::string& bytes);

private:
    std::string path_;
    std::intptr_t handle_ = -1;  // the open file, -1 when none
    std::uint64_t device_ = 0, inode_ = 0;  // which file it is
};

// Makes the folder `path` when nothing has that name (the last level only; a missing parent is
// the caller's fault). Raises like WriteLogFile, naming the folder.
void MakeLogFolder(const std::string& path);

}  // namespace nubra::detail
