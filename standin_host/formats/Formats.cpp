#include "standin_host/formats/Formats.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "standin_host/formats/FormatError.h"

namespace nubra::formats {

int32_t DefaultItemTypeForContainerClass(const std::string& containerClass) {
    auto is = [&](const char* prefix) {
        std::string p = prefix;
        return containerClass == p || containerClass.rfind(p + ".", 0) == 0;
    };
    if (is("IPF.Appointment")) return 1;
    if (is("IPF.Contact")) return 2;
    if (is("IPF.Task")) return 3;
    if (is("IPF.Journal")) return 4;
    if (is("IPF.StickyNote")) return 5;
    return 0;
}

size_t CountItems(const FolderData& folder) {
    size_t n = folder.items.size();
    for (const auto& sub : folder.subfolders) n += CountItems(sub);
    return n;
}

namespace {

const char* NotRegularWhat(mode_t mode) {
    if (S_ISDIR(mode)) return "a folder, not a file";
    if (S_ISFIFO(mode)) return "a FIFO (named pipe), not a regular file";
    if (S_ISCHR(mode) || S_ISBLK(mode)) return "a device, not a regular file";
    if (S_ISSOCK(mode)) return "a socket, not a regular file";
    return "not a regular file";
}

}  // namespace

std::string ByteSizeText(uint64_t bytes) {
    if (bytes % (uint64_t{1} << 20) == 0) return std::to_string(bytes >> 20) + " MiB";
    return std::to_string(bytes) + " bytes";
}

InputFile::InputFile(std::string path) : path_(std::move(path)) {
    // stat first, so that a FIFO or device is never opened at all; the fstat after the open
    // checks the file that was really opened (it may have been replaced in between). The open
    // does not wait for a FIFO's writer.
    struct stat st {};
    if (::stat(path_.c_str(), &st) != 0) {
        if (errno == ENOENT) FailFile(path_, "no such file");
        FailFile(path_, std::string("cannot open the file: ") + std::strerror(errno));
    }
    if (!S_ISREG(st.st_mode)) FailFile(path_, NotRegularWhat(st.st_mode));
    fd_ = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd_ < 0) FailFile(path_, std::string("cannot open the file: ") + std::strerror(errno));
    if (::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode)) {
        const char* what = S_ISREG(st.st_mode) ? "cannot examine the file" : NotRegularWhat(st.st_mode);
        ::close(fd_);
        fd_ = -1;
        FailFile(path_, what);
    }
    ::fcntl(fd_, F_SETFL, ::fcntl(fd_, F_GETFL) & ~O_NONBLOCK);
    size_ = static_cast<uint64_t>(st.st_size);
}

InputFile::~InputFile() {
    if (fd_ >= 0) ::close(fd_);
}

size_t InputFile::Read(char* buffer, size_t n) {
    size_t done = 0;
    while (done < n) {
        ssize_t got = ::read(fd_, buffer + done, n - done);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) FailFile(path_, std::string("cannot read the file: ") + std::strerror(errno));
        if (got == 0) break;
        done += static_cast<size_t>(got);
    }
    return done;
}

std::string InputFile::Head(size_t n) {
    std::string head(n, '\0');
    size_t done = 0;
    while (done < n) {
        ssize_t got = ::pread(fd_, head.data() + done, n - done, static_cast<off_t>(done));
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) FailFile(path_, std::string("cannot read the file: ") + std::strerror(errno));
        if (got == 0) break;
        done += static_cast<size_t>(got);
    }
    head.resize(done);
    return head;
}

std::string InputFile::ReadAll(uint64_t limit, const char* what) {
    auto tooLarge = [&] {
        FailFile(path_, "larger than " + ByteSizeText(limit) + ", the limit for " + what);
    };
    if (size_ > limit) tooLarge();
    std::string data;
    data.reserve(static_cast<size_t>(size_));
    char chunk[65536];
    // The file may grow while it is read: the limit holds for what is read, not for the size.
    while (size_t n = Read(chunk, sizeof chunk)) {
        if (data.size() + n > limit) tooLarge();
        data.append(chunk, n);
    }
    return data;
}

std::vector<FolderEntry> ListFolder(const std::filesystem::path& dir) {
    namespace fs = std::filesystem;
    auto fail = [&](const std::error_code& ec) { FailFile(dir.string(), "cannot list the folder: " + ec.message()); };
    std::error_code ec;
    fs::directory_iterator it(dir, ec);
    if (ec) fail(ec);
    std::vector<FolderEntry> entries;
    for (; it != fs::directory_iterator(); it.increment(ec)) {
        std::error_code typeError;
        fs::file_type type = it->symlink_status(typeError).type();
        if (!typeError) entries.push_back({it->path(), type});  // else it went away meanwhile
    }
    if (ec) fail(ec);
    std::sort(entries.begin(), entries.end(), [](const auto& a, const auto& b) { return a.path < b.path; });
    return entries;
}

std::string LinkNotFollowedWarning(const std::filesystem::path& link) {
    return link.string() + ": a link to a folder, not followed (links to folders inside a folder being imported are skipped)";
}

}  // namespace nubra::formats
