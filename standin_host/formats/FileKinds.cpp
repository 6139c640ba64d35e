// Format detection, reading any single file, and the contents of an export.
#include <algorithm>
#include <cstring>
#include <new>
#include <optional>

#include "standin_host/formats/FileIO.h"
#include "standin_host/formats/FormatError.h"
#include "standin_host/formats/ICalendar.h"
#include "standin_host/formats/JsonLines.h"
#include "standin_host/formats/Mail.h"
#include "standin_host/formats/MaildirName.h"
#include "standin_host/formats/TextUtil.h"
#include "standin_host/formats/VCard.h"
#include "standin_host/store/ItemSource.h"

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

// Runs `read`; what else than an automation error it raises becomes a FormatError naming the
// file.
template <typename F>
auto NamingTheFile(const fs::path& path, F&& read) -> decltype(read()) {
    try {
        return read();
    } catch (const AutomationError&) {
        throw;
    } catch (const std::bad_alloc&) {
        FailFile(path.string(), "not enough memory to read the file");
    } catch (const std::exception& e) {
        FailFile(path.string(), e.what());
    }
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
    return NamingTheFile(path, [&]() -> std::vector<ItemData> {
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
    });
}

void ReadItemsInBatches(const fs::path& path, unsigned threads, FileKind* kind,
                        const std::function<void(std::vector<ItemData>&)>& take, std::vector<FormatError>* refused) {
    std::error_code ec;
    if (!fs::is_directory(path, ec)) {
        std::optional<InputFile> file;
        try {
            file.emplace(path.string());
        } catch (const FormatError&) {
            file.reset();  // ReadItemsFile names the fault
        }
        if (file && KindOfFile(path, &*file) == FileKind::Mbox) {
            if (kind) *kind = FileKind::Mbox;
            NamingTheFile(path, [&] { ReadMboxInBatches(*file, threads, take, refused); });
            return;
        }
    }
    std::vector<ItemData> items = ReadItemsFile(path, threads, kind);
    take(items);
}

FolderWriter::FolderWriter(ExportSink& sink, ExportFormat format, std::string mboxName)
    : sink_(sink), format_(format), mboxName_(std::move(mboxName)) {}

void FolderWriter::Add(const ItemData& item, std::string_view entryIdHex) {
    if (format_ == ExportFormat::JsonLines) {
        jsonl_ += ItemToJsonLine(item) + "\n";
        return;
    }
    switch (item.Class) {
        case 43:
        case 45: {
            const std::string message = MessageBytes(item);
            if (format_ == ExportFormat::Mbox) {
                const bool envelope = item.Source && !item.Source->envelope.empty();
                sink_.MboxEntry(mboxName_, formats::MboxEntry(envelope ? item.Source->envelope : MakeEnvelope(item), message));
            } else if (format_ == ExportFormat::Maildir) {
                sink_.MaildirMessage(MaildirFlagsOf(item), item.CreationTime, message);
            } else {
                char name[32];
                std::snprintf(name, sizeof name, "%06zu.eml", ++mails_);
                // A message without header fields (an mbox may hold one) is only mail with the
                // "From " line it came with.
                const bool headerless = message.starts_with("\n") || message.starts_with("\r\n");
                if (headerless && item.Source && !item.Source->envelope.empty())
                    sink_.File(name, item.Source->envelope + "\n" + message);
                else
                    sink_.File(name, message);
            }
            break;
        }
        case 40: contacts_ += WriteVCard(item, entryIdHex); break;
        case 26:
        case 48: calendar_.push_back(item); break;
        default: jsonl_ += ItemToJsonLine(item) + "\n"; break;
    }
}

void FolderWriter::Finish() {
    if (format_ == ExportFormat::Maildir) sink_.MaildirFolder();
    if (!contacts_.empty()) sink_.File("contacts.vcf", contacts_);
    if (!calendar_.empty()) sink_.File("calendar.ics", WriteICalendar(calendar_));
    if (!jsonl_.empty()) sink_.File("items.jsonl", jsonl_);
}

ExportFiles RenderExport(const std::vector<ItemData>& items, ExportFormat format) {
    struct Memory : ExportSink {
        ExportFiles out;
        size_t delivered = 0;
        void File(const std::string& name, const std::string& contents) override { out.files.emplace_back(name, contents); }
        void MboxEntry(const std::string& name, const std::string& entry) override {
            for (auto& [n, contents] : out.files)
                if (n == name) {
                    contents += entry;
                    return;
                }
            out.files.emplace_back(name, entry);
        }
        void MaildirMessage(const std::string& flags, std::optional<Date>, const std::string& message) override {
            const std::string n = std::to_string(++delivered);
            out.files.emplace_back(flags.empty() ? "new/" + n : "cur/" + MaildirFileName(n, flags), message);
        }
    } memory;
    FolderWriter writer(memory, format, "messages.mbox");
    for (const auto& item : items) writer.Add(item);
    writer.Finish();
    return std::move(memory.out);
}

}  // namespace nubra::formats
