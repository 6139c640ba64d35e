// The test client's store: folders and items in memory, read from the JSON Lines files of the
// store's export (samples/demo: folders.tsv names the folders, their kinds and files). Each
// item is a set of MAPI properties, filled from the JSON fields by the same mapping the Linux
// store uses (kFieldMap in Store.cpp), so that the add-in finds the same values on both.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "standin_host/store/ItemData.h"

namespace nubra::winclient {

// Property types (the low 16 bits of a tag).
inline constexpr uint16_t kPtLong = 0x0003;
inline constexpr uint16_t kPtBoolean = 0x000B;
inline constexpr uint16_t kPtString8 = 0x001E;
inline constexpr uint16_t kPtUnicode = 0x001F;
inline constexpr uint16_t kPtSystime = 0x0040;
inline constexpr uint16_t kPtBinary = 0x0102;

inline constexpr uint32_t kPrMessageClass = 0x001A001E;
inline constexpr uint32_t kPrSubject = 0x0037001E;
inline constexpr uint32_t kPrClientSubmitTime = 0x00390040;
inline constexpr uint32_t kPrConversationTopic = 0x0070001E;
inline constexpr uint32_t kPrSenderName = 0x0C1A001E;
inline constexpr uint32_t kPrDisplayCc = 0x0E03001E;
inline constexpr uint32_t kPrDisplayTo = 0x0E04001E;
inline constexpr uint32_t kPrEntryId = 0x0FFF0102;
inline constexpr uint32_t kPrBody = 0x1000001E;
inline constexpr uint32_t kPrInternetMessageId = 0x1035001E;
inline constexpr uint32_t kPrDisplayName = 0x3001001E;
inline constexpr uint32_t kPrCreationTime = 0x30070040;
inline constexpr uint32_t kPrGivenName = 0x3A06001E;
inline constexpr uint32_t kPrSurname = 0x3A11001E;
inline constexpr uint32_t kPrCompanyName = 0x3A16001E;
inline constexpr uint32_t kPrStoreEntryId = 0x0FFB0102;

// The property sets and ids of the kinds' named properties, as the Linux store names them.
using store::kLidAppointmentEnd;
using store::kLidAppointmentStart;
using store::kLidEmail1Address;
using store::kLidLocation;
using store::kLidNoteColor;
using store::kLidTaskDueDate;
using store::kLidTaskStartDate;
using store::kLidTaskStatus;
using store::PSETID_Address;
using store::PSETID_Appointment;
using store::PSETID_Note;
using store::PSETID_Task;

// OlObjectClass values of the kinds.
inline constexpr int32_t kOlAppointment = 26, kOlContact = 40, kOlMail = 43, kOlNote = 44, kOlPost = 45,
                         kOlTask = 48, kOlDistList = 69, kOlJournal = 42;

struct Value {
    uint16_t type = 0;
    int64_t integer = 0;  // PT_LONG, PT_BOOLEAN, PT_SYSTIME (FILETIME, UTC)
    std::string text;     // PT_STRING8 (UTF-8)
    std::vector<uint8_t> bytes;  // PT_BINARY
};

struct NamedKey {
    std::string guid;
    uint16_t lid = 0;
    auto operator<=>(const NamedKey&) const = default;
};

class Folder;
class Store;

struct Item {
    uint64_t id = 0;
    Folder* folder = nullptr;  // null once removed for good
    std::map<uint32_t, Value> props;

    const Value* Prop(uint32_t tag) const;
    std::string Text(uint32_t tag) const;
    int32_t Class() const;
};

class Folder {
public:
    Folder(Store& store, Folder* parent, std::string name, int32_t defaultType, uint64_t id)
        : store(store), parent(parent), name(std::move(name)), defaultType(defaultType), id(id) {}

    Store& store;
    Folder* const parent;
    std::string name;
    const int32_t defaultType;  // OlItemType: 0 mail, 1 appointment, 2 contact, 3 task, 5 note, 6 post
    const uint64_t id;
    std::vector<std::unique_ptr<Folder>> folders;
    std::vector<std::shared_ptr<Item>> items;
    // Moves on every change of `items`, so that views over the folder know to look again.
    uint64_t version = 0;

    Folder* Child(const std::string& childName) const;  // letter case ignored
    // A new subfolder; raises when one of that name exists.
    Folder& AddFolder(const std::string& childName, int32_t type);
    // "Store\Folder\Sub".
    std::string Path() const;
};

class Session;

class Store {
public:
    Store(Session& session, std::string name, uint32_t index);
    Session& session;
    const std::string name;
    const uint32_t index;
    std::unique_ptr<Folder> root;

    // The store's id for a named property, 0x8000 upward in order of first use; 0 when it has
    // none and `create` is false.
    uint16_t NamedId(const NamedKey& key, bool create);
    // The name behind an id; null for an id the store never gave out.
    const NamedKey* NameOf(uint16_t id) const;
    // Where Delete moves items ("Deleted Items" under the top folder; made when missing).
    Folder& DeletedItems();
    std::string StoreIdHex() const;

private:
    std::map<NamedKey, uint16_t> ids_;
    std::vector<NamedKey> names_;
};

// Every store of the profile, in order.
class Session {
public:
    // Reads `dir`/folders.tsv and the JSON Lines files it names. Raises std::runtime_error
    // naming the file and line of anything it cannot read; nothing is kept then.
    static std::unique_ptr<Session> Load(const std::filesystem::path& dir);

    std::vector<std::unique_ptr<Store>> stores;

    Store& AddStore(const std::string& name);
    // The folder at "Store\Folder\Sub"; null when there is none.
    Folder* FolderByPath(const std::string& path) const;
    uint64_t NextId() { return ++lastId_; }

    // Entry IDs: 4 flag bytes, a kind byte (1 folder, 2 item), 3 bytes of store index and the
    // object's id, as upper-case hex.
    std::string FolderEntryId(const Folder& folder) const;
    std::string ItemEntryId(const Item& item) const;
    std::shared_ptr<Item> ItemById(const std::string& entryIdHex) const;
    Folder* FolderById(const std::string& entryIdHex) const;

    // A failure planted to exercise the add-in's error handler: the member `failingMember`
    // (Subject, Move, Delete, ...) of the items with the subject `failingSubject` raises.
    std::string failingMember, failingSubject;

    void Move(const std::shared_ptr<Item>& item, Folder& to);
    void Remove(const std::shared_ptr<Item>& item);

private:
    uint64_t lastId_ = 0;
};

// FILETIME (100 ns since 1601, UTC) and the automation date of the same instant in UTC.
double FileTimeToUtcDate(int64_t fileTime);
int64_t UtcDateToFileTime(double date);
// The automation date of the instant in the machine's local time.
double FileTimeToLocalDate(int64_t fileTime);
// "2024-05-01T10:00:00Z" (or with +hh:mm / -hh:mm) to FILETIME; nullopt when it is no such time.
std::optional<int64_t> ParseIsoTime(const std::string& text);
// "YYYY-MM-DD hh:mm:ss" in UTC.
std::string UtcText(int64_t fileTime);
std::string Hex(const uint8_t* bytes, std::size_t size);

}  // namespace nubra::winclient
