// The store's table of what items were made of (ItemSource.h).
#include "host/MAPIUtils.h"
#include "standin_host/formats/Mail.h"
#include "standin_host/store/ObjectModel.h"
#include "standin_host/store/StoreSql.h"

namespace nubra::store {

using namespace detail;

std::optional<ItemSource> SourceOf(outlook::OutlookItem& item) {
    auto& i = AsItem(item, "SourceOf");
    auto source = i.Store()->ReadSource(i.Id());
    if (!source && !i.Store()->ItemExists(i.Id()))
        RaiseError(errnum::kMapiNotFound,
                   "the item no longer exists (store file \"" + i.Store()->File().string() + "\")", kSource);
    return source;
}

int64_t MessageFlags(outlook::OutlookItem& item) {
    auto value = AsItem(item, "MessageFlags").Prop(PR_MESSAGE_FLAGS);
    return value ? value->integer : 0;
}

std::map<std::string, uint64_t> ItemSizes(outlook::MAPIFolder& folder) {
    auto& f = AsFolder(folder, "ItemSizes");
    std::map<std::string, uint64_t> sizes;
    for (const auto& [item, size] : f.Store()->ItemSizes(f.Id()))
        sizes.emplace(ToHex(f.Store()->EntryId(StoreDb::kItemKind, item)), size);
    return sizes;
}

std::map<std::string, int32_t> UnreadCounts(outlook::MAPIFolder& folder) {
    auto& f = AsFolder(folder, "UnreadCounts");
    std::map<std::string, int32_t> counts;
    for (const auto& [id, count] : f.Store()->UnreadCounts())
        counts.emplace(ToHex(f.Store()->EntryId(StoreDb::kFolderKind, id)), static_cast<int32_t>(count));
    return counts;
}

// ---------------------------------------------------------------------------------------
// The table

void StoreDb::InsertSource(int64_t item, const ItemSource& source,
                           const std::vector<std::pair<uint32_t, PropValue>>& props) {
    auto& s = Prep("INSERT INTO sources(item_id, kind, envelope, fingerprint, size, data) VALUES (?,?,?,?,?,?)");
    Use u(s);
    u->Bind(1, item).Bind(2, static_cast<int64_t>(source.kind));
    if (!source.envelope.empty()) u->BindStatic(3, source.envelope);
    // Contacts and calendar items are written back from their source only while their
    // properties are still those stored now.
    if (source.kind == ItemSource::Kind::VCard || source.kind == ItemSource::Kind::ICalendar)
        u->Bind(4, static_cast<int64_t>(Fingerprint(ToItemData(props))));
    u->Bind(5, static_cast<int64_t>(source.size));
    u->BindStatic(6, std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(source.packed.data()),
                                              source.packed.size()));
    u->Run();
}

std::optional<ItemSource> StoreDb::ReadSource(int64_t item) {
    auto& s = Prep("SELECT kind, envelope, fingerprint, size, data FROM sources WHERE item_id = ?");
    Use u(s);
    u->Bind(1, item);
    if (!u->Step()) return std::nullopt;
    ItemSource source;
    source.kind = static_cast<ItemSource::Kind>(u->Int(0));
    source.envelope = u->Text(1);
    if (!u->IsNull(2)) source.fingerprint = static_cast<uint64_t>(u->Int(2));
    source.size = static_cast<uint64_t>(u->Int(3));
    auto bytes = u->Blob(4);
    source.packed.assign(bytes.begin(), bytes.end());
    return source;
}

std::vector<std::pair<int64_t, uint64_t>> StoreDb::ItemSizes(int64_t folder) {
    // The sources' short columns only: their frames stay on their overflow pages.
    auto& s = upstream_
        ? Prep("SELECT i.id, s.size FROM items i JOIN sources s ON s.item_id = i.id WHERE i.folder_id = ?")
        : Prep("SELECT i.id, COALESCE(s.size, (SELECT SUM(COALESCE(length(CAST(p.tval AS BLOB)), 0) + "
               "COALESCE(length(p.bval), 0) + (p.ival IS NOT NULL) * 8) FROM props p WHERE p.item_id = i.id)) "
               "FROM items i LEFT JOIN sources s ON s.item_id = i.id WHERE i.folder_id = ?");
    Use u(s);
    u->Bind(1, folder);
    std::vector<std::pair<int64_t, uint64_t>> sizes;
    while (u->Step()) sizes.emplace_back(u->Int(0), static_cast<uint64_t>(u->Int(1)));
    return sizes;
}

std::vector<std::pair<int64_t, int64_t>> StoreDb::UnreadCounts() {
    // PR_MESSAGE_CLASS 0x001A001E, PR_MESSAGE_FLAGS 0x0E070003; LIKE ignores ASCII letter case,
    // as message classes do.
    auto& s = Prep(
        "SELECT i.folder_id, COUNT(*) FROM items i "
        "JOIN props c ON c.item_id = i.id AND c.tag = 0x001A001E "
        "LEFT JOIN props f ON f.item_id = i.id AND f.tag = 0x0E070003 "
        "WHERE (c.tval LIKE 'IPM.Note' OR c.tval LIKE 'IPM.Note.%' OR c.tval LIKE 'IPM.Post' OR "
        "c.tval LIKE 'IPM.Post.%') AND (f.ival IS NULL OR (f.ival & 1) = 0) GROUP BY i.folder_id");
    Use u(s);
    std::vector<std::pair<int64_t, int64_t>> counts;
    while (u->Step()) counts.emplace_back(u->Int(0), u->Int(1));
    return counts;
}

std::string StoreDb::TextFromSource(int64_t item) {
    auto source = ReadSource(item);
    if (!source || source->kind != ItemSource::Kind::Mime)
        RaiseError(errnum::kMapiCorruptData,
                   "the body of an item is kept in its message, which is missing (store file \"" + file_.string() + "\")",
                   kSource);
    return formats::MessageBody(source->Unpack(), !source->envelope.empty(),
                                file_.string() + " (item " + std::to_string(item) + ")");
}

void StoreDb::CopySource(int64_t item, StoreDb& dest, int64_t destItem) {
    // Copied as stored: the fingerprint is of the item's properties, the same in every store.
    auto& s = Prep("SELECT kind, envelope, fingerprint, size, data FROM sources WHERE item_id = ?");
    Use u(s);
    u->Bind(1, item);
    if (!u->Step()) return;
    auto& d = dest.Prep("INSERT INTO sources(item_id, kind, envelope, fingerprint, size, data) VALUES (?,?,?,?,?,?)");
    Use w(d);
    w->Bind(1, destItem).Bind(2, u->Int(0));
    if (!u->IsNull(1)) w->Bind(3, u->Text(1));
    if (!u->IsNull(2)) w->Bind(4, u->Int(2));
    w->Bind(5, u->Int(3)).Bind(6, std::span<const uint8_t>(u->Blob(4)));
    w->Run();
}

size_t StoreDb::AddItemsInBatches(
    int64_t folder, const std::function<void(const std::function<void(std::span<const ItemData>)>&)>& produce) {
    Txn t(*this);
    size_t added = 0;
    produce([&](std::span<const ItemData> items) {
        for (const auto& d : items) InsertItem(folder, d);
        added += items.size();
    });
    t.Commit();
    return added;
}

std::shared_ptr<void> StoreDb::LimitCache(int64_t kib) {
    int64_t before = 0;
    {
        Stmt s(*this, "PRAGMA cache_size");
        if (s.Step()) before = s.Int(0);
    }
    Exec(("PRAGMA cache_size=-" + std::to_string(kib)).c_str());
    std::weak_ptr<StoreDb> self = weak_from_this();
    return std::shared_ptr<void>(nullptr, [self, before](void*) {
        if (auto db = self.lock())
            sqlite3_exec(db->db_, ("PRAGMA cache_size=" + std::to_string(before)).c_str(), nullptr, nullptr, nullptr);
    });
}

}  // namespace nubra::store

namespace nubra::store {

std::shared_ptr<void> StoreDb::BulkWrite(int64_t kib) {
    auto cache = LimitCache(kib);
    int64_t before = 0;
    {
        Stmt s(*this, "PRAGMA wal_autocheckpoint");
        if (s.Step()) before = s.Int(0);
    }
    Exec(("PRAGMA wal_autocheckpoint=" + std::to_string(kBulkWalPages)).c_str());
    std::weak_ptr<StoreDb> self = weak_from_this();
    return std::shared_ptr<void>(nullptr, [self, before, cache](void*) {
        auto db = self.lock();
        if (!db) return;
        sqlite3_exec(db->db_, ("PRAGMA wal_autocheckpoint=" + std::to_string(before)).c_str(), nullptr, nullptr, nullptr);
        // Best effort: a reader elsewhere may hold the WAL; the next checkpoint then does it.
        sqlite3_wal_checkpoint_v2(db->db_, nullptr, SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr);
    });
}

}  // namespace nubra::store
