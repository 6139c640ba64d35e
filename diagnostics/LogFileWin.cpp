// The log's file calls on Windows.
#include <windows.h>

#include "diagnostics/LogFile.h"
#include "host/Automation.h"
#include "host/Text.h"

namespace nubra::detail {
namespace {

// The run-time error a failed file call stands for.
[[noreturn]] void RaiseFileError(DWORD error, const std::string& path) {
    switch (error) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_BAD_NETPATH:
        case ERROR_INVALID_DRIVE: RaiseError(errnum::kPathNotFound, {}, path);
        case ERROR_DISK_FULL:
        case ERROR_HANDLE_DISK_FULL: RaiseError(errnum::kDiskFull, {}, path);
        default: RaiseError(errnum::kPathFileAccess, {}, path);
    }
}

bool IsReparsePoint(DWORD attributes) {
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

}  // namespace

// FILE_APPEND_DATA alone makes every write go to the end of the file, so an entry stays whole
// even when another process appends at the same time.
void WriteLogFile(const std::string& path, const std::string& bytes, LogWrite mode) {
    // Never through a link (a symbolic link or junction is a reparse point): one planted in a
    // shared folder would send mail subjects into any file this user may write. The file is
    // opened as the reparse point itself and checked again through the handle, so a link put
    // there between the two looks is refused as well; it is emptied only after that check.
    const std::wstring wide = text::Wide(path);
    if (IsReparsePoint(::GetFileAttributesW(wide.c_str()))) RaiseError(errnum::kPathFileAccess, {}, path);
    const DWORD access = mode == LogWrite::Append ? FILE_APPEND_DATA : GENERIC_WRITE;
    HANDLE file = ::CreateFileW(wide.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE) RaiseFileError(::GetLastError(), path);
    auto fail = [&](DWORD error) {
        ::CloseHandle(file);
        RaiseFileError(error, path);
    };
    BY_HANDLE_FILE_INFORMATION info{};
    if (!::GetFileInformationByHandle(file, &info)) fail(::GetLastError());
    if (IsReparsePoint(info.dwFileAttributes) || (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
        fail(ERROR_ACCESS_DENIED);
    if (mode == LogWrite::Replace && !::SetEndOfFile(file)) fail(::GetLastError());
    size_t done = 0;
    while (done < bytes.size()) {
        const size_t chunk = bytes.size() - done > 0x40000000 ? 0x40000000 : bytes.size() - done;
        DWORD written = 0;
        if (!::WriteFile(file, bytes.data() + done, static_cast<DWORD>(chunk), &written, nullptr)) fail(::GetLastError());
        done += written;
    }
    if (!::CloseHandle(file)) RaiseFileError(::GetLastError(), path);
}

// Windows refuses to remove a file another program holds open unless it shared the right to,
// which would let a kept handle stand in a user's way: the file is opened for each entry.
LogAppender::~LogAppender() = default;

void LogAppender::Append(const std::string& bytes) { WriteLogFile(path_, bytes, LogWrite::Append); }

void MakeLogFolder(const std::string& path) {
    const std::wstring wide = text::Wide(path);
    if (::GetFileAttributesW(wide.c_str()) != INVALID_FILE_ATTRIBUTES) return;
    if (!::CreateDirectoryW(wide.c_str(), nullptr) && ::GetLastError() != ERROR_ALREADY_EXISTS)
        RaiseFileError(::GetLastError(), path);
}

}  // namespace nubra::detail
