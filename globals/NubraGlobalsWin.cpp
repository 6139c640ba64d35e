// The globals' Windows half: the special folders through the shell, the module's own folder,
// the browser look-up through the file associations.
//
// The safety checks of the common folder mean less here than on Linux: the common application
// data folder's rights are the system's, and a user there may make a folder of their own that
// others cannot write. What is checked is what a planted link needs: the add-in's folder or its
// log must be no reparse point (symbolic link, junction), and the add-in's folder must be one
// this user can write. Who owns the folder is left to its access rights.
#include <windows.h>
#include <shellapi.h>
#include <shlobj.h>

#include <cstdlib>
#include <vector>

#include "globals/GlobalsPlatform.h"
#include "globals/NubraGlobals.h"
#include "host/Text.h"

namespace nubra {
namespace {

std::string gCommonFolderRefusal;

// The special folder `csidl`, made when missing; "" when the shell has none.
std::string SpecialFolder(int csidl) {
    wchar_t path[MAX_PATH] = {};
    if (::SHGetFolderPathW(nullptr, csidl | CSIDL_FLAG_CREATE, nullptr, SHGFP_TYPE_CURRENT, path) != S_OK) return {};
    return text::Utf8(path);
}

DWORD Attributes(const std::string& path) { return ::GetFileAttributesW(text::Wide(path).c_str()); }

bool IsReparsePoint(const std::string& path) {
    const DWORD a = Attributes(path);
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

bool IsFolder(const std::string& path) {
    const DWORD a = Attributes(path);
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// A folder this user can write: a probe file can be made in it (and is removed at once).
bool Writable(const std::string& folder) {
    wchar_t probe[MAX_PATH] = {};
    if (!::GetTempFileNameW(text::Wide(folder).c_str(), L"nub", 0, probe)) return false;
    ::DeleteFileW(probe);
    return true;
}

// `path`, made when missing, is a folder this user can write.
bool UsableFolder(const std::string& path) {
    if (path.empty()) return false;
    if (!IsFolder(path)) ::CreateDirectoryW(text::Wide(path).c_str(), nullptr);
    return IsFolder(path) && Writable(path);
}

// Why the add-in's folder in the common one must not be used, "" when it may.
std::string UnsafeCommonFolder(const std::string& common) {
    const std::string nubra = common + "\\Nubra";
    if (IsReparsePoint(nubra)) return nubra + " is a link";
    const std::string log = nubra + "\\Nubra.log";
    if (IsReparsePoint(log)) return log + " is a link";
    return {};
}

// The add-in's folder inside the common one: fine when it is still to be made, or when it is a
// folder this user can write (another user's folder would make every start-up of this user fail).
bool OwnFolderUsable(const std::string& path) {
    if (Attributes(path) == INVALID_FILE_ATTRIBUTES) return true;
    return IsFolder(path) && Writable(path);
}

void Marker() {}

}  // namespace

std::string GetAppDataFolder() {
    // As on Linux, NUBRA_COMMON_APPDATA stands in for the common folder (a test's own).
    const char* override = std::getenv("NUBRA_COMMON_APPDATA");
    const std::string common = override && *override ? std::string(override) : SpecialFolder(CSIDL_COMMON_APPDATA);
    gCommonFolderRefusal = common.empty() ? std::string() : UnsafeCommonFolder(common);
    if (gCommonFolderRefusal.empty() && UsableFolder(common) && OwnFolderUsable(common + "\\Nubra")) return common;
    const std::string local = SpecialFolder(CSIDL_LOCAL_APPDATA);
    if (UsableFolder(local)) return local;
    return {};
}

std::string CommonFolderRefusal() { return gCommonFolderRefusal; }

std::string AddinModuleFolder() {
    HMODULE module = nullptr;
    if (!::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                              reinterpret_cast<LPCWSTR>(&Marker), &module))
        return {};
    // Long paths: the buffer grows until the name fits.
    std::vector<wchar_t> name(MAX_PATH);
    for (;;) {
        const DWORD n = ::GetModuleFileNameW(module, name.data(), static_cast<DWORD>(name.size()));
        if (n == 0) return {};
        if (n < name.size()) break;
        if (name.size() >= 32768) return {};
        name.resize(name.size() * 2);
    }
    std::string file = text::Utf8(name.data());
    const size_t slash = file.find_last_of("\\/");
    return slash == std::string::npos ? std::string() : file.substr(0, slash);
}

namespace detail {

std::string WriteBrowserProbe(const std::string& content) {
    wchar_t folder[MAX_PATH + 1] = {};
    const DWORD n = ::GetTempPathW(MAX_PATH + 1, folder);
    if (n == 0 || n > MAX_PATH) RaiseError(errnum::kPathFileAccess, {}, "ambtemphtm.HTM");
    const std::wstring wide = std::wstring(folder) + L"ambtemphtm.HTM";
    const std::string tempFile = text::Utf8(wide);
    // A file (or link) left by an earlier run is replaced; the new file is made afresh, so a
    // link planted meanwhile makes it fail rather than be written through.
    ::DeleteFileW(wide.c_str());
    HANDLE file = ::CreateFileW(wide.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_TEMPORARY, nullptr);
    if (file == INVALID_HANDLE_VALUE) RaiseError(errnum::kPathFileAccess, {}, tempFile);
    DWORD written = 0;
    const bool ok = ::WriteFile(file, content.data(), static_cast<DWORD>(content.size()), &written, nullptr) &&
                    written == content.size();
    const bool closed = ::CloseHandle(file);
    if (!ok || !closed) {
        ::DeleteFileW(wide.c_str());
        RaiseError(errnum::kPathFileAccess, {}, tempFile);
    }
    return tempFile;
}

// The program the file associations open an HTML file with.
std::string FindBrowser(const std::string& htmlFile) {
    wchar_t program[MAX_PATH] = {};
    const auto result = reinterpret_cast<INT_PTR>(::FindExecutableW(text::Wide(htmlFile).c_str(), nullptr, program));
    if (result <= 32 || !program[0]) return {};
    return text::Utf8(program);
}

bool RemoveFile(const std::string& path) { return ::DeleteFileW(text::Wide(path).c_str()) != 0; }

}  // namespace detail
}  // namespace nubra
