// Format detection, reading any single file, and the contents of an export.
#include <algorithm>
#include <cstring>
#include <new>

#include "standin_host/formats/FileIO.h"
#include "standin_host/formats/FormatError.h"
#include "standin_host/formats/ICalendar.h"
#include "standin_host/formats/JsonLines.h"
#include "standin_host/formats/Mail.h"
#include "standin_host/formats/TextUtil.h"
#include "standin_host/formats/VCard.h"

namespace fs = std::filesystem;

namespace nubra::formats {
namespace {

bool LooksLikeHeader(std::string_view head) {
    size_t n = 0;
    while (n < head.size() && head[n] >= 33 && head[n] <= 126 && head[n] != ':') ++n;
    return n > 0 && n < head.size() && head[n] == ':';
}

FileKind SniffContent(const std::string& head) {
    std::string upper = head.substr(0, 64);
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    size_t start = upper.find_first_not_of(" \t\r\n");
    std::string_view first = start == std::string::npos ? std::string_view() : std::string_view(upper).substr(start);
    if (head.starts_with("!BDN")) return FileKind::Pst;
    if (first.starts_with("BEGIN:VCARD")) return FileKind::VCard;
    if (first.starts_with("BEGIN:VCALENDAR")) return FileKind::ICalendar;
    if (head.starts_with("From ")) return FileKind::Mbox;
    if (first.starts_with("{")) return FileKind::JsonLines;
    if (LooksLikeHeader(head)) return FileKind::Eml;
    return FileKind::Unknown;
}

// The first bytes of a file for sniffing, without a UTF-8 byte order mark.
std::string Head(InputFile& file) {
    std::string head = file.Head(4096);
    if (head.starts_with("\xEF\xBB\xBF")) head.erase(0, 3);
    return head;
}

// The format of a regular file: by extension, else by `head`.
FileKind KindOfFile(const fs::path& path, InputFile* file) {
    std::string ext = AsciiLower(path.extension().string());
    if (ext == ".pst" || ext == ".ost") return FileKind::Pst;
    if (ext == ".vcf" || ext == ".vcard") return FileKind::VCard;
    if (ext == ".ics" || ext == ".ical" || ext == ".ifb") return FileKind::ICalendar;
    if (ext == ".jsonl" || ext == ".ndjson" || ext == ".json") return FileKind::JsonLines;
    std::string head = file ? Head(*file) : std::string();
    if (ext == ".mbox" || ext == ".mbx") return head.starts_with("From ") ? FileKind::Mbox : FileKind::Eml;
    if (ext == ".eml") return FileKind::Eml;
    return SniffContent(head);
}

// The whole text of a vCard or iCalendar file, without a byte order mark.
std::string TextOf(InputFile& file) {
    std::string data = file.ReadAll(kMaxTextFileBytes, "one contact or calendar file");
    if (data.starts_with("\xEF\xBB\xBF")) data.erase(0, 3);
    return data;
}

}  // namespace

const char* KindName(FileKind kind) {
    switch (kind) {
        case FileKind::Eml: return "mail message";
        case FileKind::Mbox: return "mbox";
        case FileKind::Maildir: return "Maildir";
        case FileKind::VCard: return "vCard";
        case FileKind::ICalendar: return "iCalendar";
        case FileKind::Pst: return "Outlook data file";
        case FileKind::JsonLines: return "JSON Lines";
        default: return "unknown";
    }
}

FileKind DetectKind(const fs::path& path) {
    std::error_code ec;
    fs::file_status status = fs::status(path, ec);
    if (fs::is_directory(status)) return IsMaildir(path.string()) ? FileKind::Maildir : FileKind::Unknown;
    // A FIFO or device is never opened: a look at its first bytes could wait for ever.
    if (!fs::is_regular_file(status)) return FileKind::Unknown;
    try {
        InputFile file(path.string());
        return KindOfFile(path, &file);
    } catch (const FormatError&) {
        return KindOfFile(path, nullptr);  // unreadable: the extension alone
    }
}

std::vector<ItemData> ReadItemsFile(const fs::path& path, unsigned threads, FileKind* kind) {
    std::error_code ec;
    if (fs::is_directory(path, ec))
        FailFile(path.string(), IsMaildir(path.string()) ? "a Maildir is a folder, not a file" : "a folder that is no Maildir");
    InputFile file(path.string());  // refuses what is not a regular file
    try {
        FileKind k = KindOfFile(path, &file);
        if (kind) *kind = k;
        switch (k) {
            case FileKind::Eml: return ReadEml(file);
            case FileKind::Mbox: return ReadMbox(file, threads);
            case FileKind::VCard: return ParseVCards(TextOf(file), path.string());
            case FileKind::ICalendar: return ParseICalendar(TextOf(file), path.string());
            case FileKind::JsonLines: return ReadJsonLines(file);
            case FileKind::Pst: FailFile(path.string(), "an Outlook data file is imported as a store of its own (import-pst)");
            default: break;
        }
        if (file.Size() == 0) FailFile(path.string(), "the file is empty");
        FailAtLine(path.string(), 1, "unknown file format");
    } catch (const AutomationError&) {
        throw;
    } catch (const std::bad_alloc&) {
        FailFile(path.string(), "not enough memory to read the file");
    } catch (const std::exception& e) {
        FailFile(path.string(), e.what());
    }
}

ExportFiles RenderExport(const std::vector<ItemData>& items, ExportFormat format) {
    ExportFiles out;
    std::string contacts, jsonl;
    std::vector<ItemData> calendar;
    size_t mails = 0;
    for (const auto& item : items) {
        if (format == ExportFormat::JsonLines) {
            jsonl += ItemToJsonLine(item) + "\n";
            continue;
        }
        switch (item.Class) {
            case 43:
            case 45: {
                char name[32];
                std::snprintf(name, sizeof name, "%06zu.eml", ++mails);
                out.files.emplace_back(name, WriteEml(item));
                break;
            }
            case 40: contacts += WriteVCard(item); break;
            case 26:
            case 48: calendar.push_back(item); break;
            default: jsonl += ItemToJsonLine(item) + "\n"; break;
        }
    }
    if (!contacts.empty()) out.files.emplace_back("contacts.vcf", contacts);
    if (!calendar.empty()) out.files.emplace_back("calendar.ics", WriteICalendar(calendar));
    if (!jsonl.empty()) out.files.emplace_back("items.jsonl", jsonl);
    return out;
}

}  // namespace nubra::formats
