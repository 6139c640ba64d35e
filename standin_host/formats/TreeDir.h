// A folder tree cleaned in place (a Maildir), reached only through directory handles: every
// path inside it is resolved beneath the tree's top with no symbolic link followed on the way
// (openat2 with RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS, else one O_NOFOLLOW step at a time), and
// files are opened, renamed, made and removed relative to the handle of their directory. A
// link planted anywhere in the tree, or swapped in between a look and a change, is refused,
// never followed: nothing outside the tree is read, written or moved into.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace nubra::formats {

// An open file descriptor, closed with its owner.
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    ~UniqueFd();
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.Release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept;
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    int Get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    int Release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }

private:
    int fd_ = -1;
};

class TreeDir {
public:
    // Opens the tree at `top` (the path the user gave is taken as it stands, links and all: the
    // tree is where they said). Raises kMapiNotFound when it does not exist, kMapiNoAccess when
    // it cannot be opened or is not a folder.
    explicit TreeDir(std::filesystem::path top);

    const std::filesystem::path& Top() const { return top_; }
    // The path of `rel` (relative to the top) for messages; never used to reach a file.
    std::filesystem::path Shown(const std::string& rel) const { return rel.empty() ? top_ : top_ / rel; }

    // The directory `rel` ("" for the top; "a/b" below it), opened without following a link.
    // Returns an empty handle with `error` set (ENOENT, ELOOP for a link, ENOTDIR, ...) when it
    // cannot be opened.
    UniqueFd Open(const std::string& rel, int& error) const;
    // The same, raising: kMapiNotFound when it is missing, kMapiNoAccess otherwise (a link is
    // named as one: "... is a link; not followed").
    UniqueFd Require(const std::string& rel) const;

    struct Entry {
        std::string name;
        unsigned char type;  // DT_DIR, DT_REG, DT_LNK, else other
    };
    // The entries of the open directory `dir` (not "." and ".."), with their types from the
    // directory or, where it gives none, from fstatat without following. False (with `error`)
    // when it cannot be read.
    static bool List(int dir, std::vector<Entry>& out, int& error);
    // Whether `name` in directory `dir` is a directory itself (a link is not).
    static bool IsDir(int dir, const std::string& name);
    // Whether `rel` is a maildir: it has cur/ or new/ (real directories, not links).
    bool IsMaildir(const std::string& rel) const;

    // The file `name` of directory `dir` read up to the end of its header (the bytes up to and
    // including the empty line), at most `limit` bytes. False with `why` when it is no regular
    // file, cannot be read, or its header is larger.
    static bool ReadHeader(int dir, const std::string& name, size_t limit, std::string& out, std::string& why);
    // The whole file `name` of `dir` into `out`, at most `limit` bytes; false when it cannot be
    // read to its end.
    static bool ReadWhole(int dir, const std::string& name, size_t limit, std::string& out);
    // The modification time (seconds) of `name` in `dir`, not following a link.
    static std::optional<int64_t> ModifiedAt(int dir, const std::string& name);
    // Renames `from` in `fromDir` to `to` in `toDir`, never over an existing name. False with
    // errno set when it did not happen (EEXIST for a name taken).
    static bool Rename(int fromDir, const std::string& from, int toDir, const std::string& to);

    // Makes the maildir `name` (with cur/, new/ and tmp/) in the directory `parent` of the tree
    // (relative to the top); an existing one is taken as it is. Raises kMapiNoAccess naming the
    // path for a link or anything that cannot be made (kMapiDiskError on a full disk).
    void MakeMaildir(const std::string& parent, const std::string& name) const;
    // Removes the maildir `rel` when it holds no message: cur/, new/ and tmp/ (each empty), the
    // files `removable` says may go (markers and index files of mail programs), then the
    // directory. Raises kMapiNoAccess naming what is left in it, or what could not be removed;
    // a maildir that is gone already is no failure.
    void RemoveMaildir(const std::string& rel, const std::function<bool(const std::string&)>& removable) const;

private:
    std::filesystem::path top_;
    UniqueFd fd_;
};

}  // namespace nubra::formats
