// What items were made of (ItemSource.h): compression, the fingerprint of an item's
// properties, and the store's table of sources.
#include <zstd.h>

#include <cstring>

#include "host/MAPIUtils.h"
#include "standin_host/store/ObjectModel.h"
#include "standin_host/store/StoreSql.h"

namespace nubra::store {

using namespace detail;

namespace {

// Level 1: mail compresses to about a third at several hundred MB/s; a higher level would
// save a little space and cost an import most of its speed.
constexpr int kZstdLevel = 1;

struct CCtxFree {
    void operator()(ZSTD_CCtx* c) const { ZSTD_freeCCtx(c); }
};
struct DCtxFree {
    void operator()(ZSTD_DCtx* c) const { ZSTD_freeDCtx(c); }
};

[[noreturn]] void Damaged(const std::string& what) {
    RaiseError(errnum::kMapiCorruptData, "an item's source is damaged: " + what, kSource);
}

// FNV-1a, 64 bit: stable across runs and builds, which std::hash is not.
class Digest {
public:
    void Bytes(std::string_view s) {
        Int(s.size());
        for (unsigned char c : s) h_ = (h_ ^ c) * 0x100000001B3ULL;
    }
    void Int(uint64_t v) {
        for (int i = 0; i < 8; ++i) h_ = (h_ ^ ((v >> (8 * i)) & 0xFF)) * 0x100000001B3ULL;
    }
    void Text(const std::optional<std::string>& v) {
        Int(v ? 1 : 0);
        if (v) Bytes(*v);
    }
    void Time(const std::optional<Date>& v) {
        Int(v ? 1 : 0);
        if (v) Int(static_cast<uint64_t>(DateToFileTime(*v)));
    }
    void Number(const std::optional<int32_t>& v) {
        Int(v ? 1 : 0);
        if (v) Int(static_cast<uint64_t>(static_cast<int64_t>(*v)));
    }
    void Value(const PropValue& v) {
        Int(v.type);
        Int(static_cast<uint64_t>(v.integer));
        Bytes(v.text);
        Bytes(std::string_view(reinterpret_cast<const char*>(v.bytes.data()), v.bytes.size()));
    }
    uint64_t Value() const { return h_; }

private:
    uint64_t h_ = 0xCBF29CE484222325ULL;
};

}  // namespace

std::shared_ptr<const ItemSource> ItemSource::Pack(Kind kind, std::string_view bytes, std::string envelope) {
    thread_local std::unique_ptr<ZSTD_CCtx, CCtxFree> ctx(ZSTD_createCCtx());
    auto source = std::make_shared<ItemSource>();
    source->kind = kind;
    source->envelope = std::move(envelope);
    source->size = bytes.size();
    source->packed.resize(ZSTD_compressBound(bytes.size()));
    const size_t n = ZSTD_compressCCtx(ctx.get(), source->packed.data(), source->packed.size(), bytes.data(),
                                       bytes.size(), kZstdLevel);
    if (ZSTD_isError(n))
        RaiseError(errnum::kMapiCallFailed, std::string("cannot compress an item's source: ") + ZSTD_getErrorName(n),
                   kSource);
    source->packed.resize(n);
    source->packed.shrink_to_fit();
    return source;
}

std::string ItemSource::Unpack() const {
    thread_local std::unique_ptr<ZSTD_DCtx, DCtxFree> ctx(ZSTD_createDCtx());
    const unsigned long long content = ZSTD_getFrameContentSize(packed.data(), packed.size());
    if (content == ZSTD_CONTENTSIZE_ERROR || content == ZSTD_CONTENTSIZE_UNKNOWN || content != size)
        Damaged("its size does not match");
    std::string out(static_cast<size_t>(size), '\0');
    const size_t n = ZSTD_decompressDCtx(ctx.get(), out.data(), out.size(), packed.data(), packed.size());
    if (ZSTD_isError(n) || n != size) Damaged(ZSTD_isError(n) ? ZSTD_getErrorName(n) : "it is short");
    return out;
}

uint64_t Fingerprint(const ItemData& d) {
    Digest h;
    h.Int(static_cast<uint64_t>(static_cast<int64_t>(d.Class)));
    for (const auto* v : {&d.MessageClass, &d.Subject, &d.Body, &d.InternetMessageID, &d.SenderName, &d.To, &d.Cc,
                          &d.FirstName, &d.LastName, &d.CompanyName, &d.FullName, &d.Email1Address, &d.Location})
        h.Text(*v);
    for (const auto* v : {&d.CreationTime, &d.SentOn, &d.Start, &d.End, &d.StartDate, &d.DueDate}) h.Time(*v);
    h.Number(d.Status);
    h.Number(d.Color);
    h.Int(d.extraTagged.size());
    for (const auto& [tag, v] : d.extraTagged) {
        h.Int(tag);
        h.Value(v);
    }
    h.Int(d.extraNamed.size());
    for (const auto& [key, v] : d.extraNamed) {
        h.Bytes(key.guid);
        h.Int(key.id);
        h.Value(v);
    }
    return h.Value();
}

bool SourceIsCurrent(const ItemData& data) {
    if (!data.Source) return false;
    if (data.Source->kind != ItemSource::Kind::VCard && data.Source->kind != ItemSource::Kind::ICalendar) return true;
    return data.Source->fingerprint && *data.Source->fingerprint == Fingerprint(data);
}

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

std::shared_ptr<void> StoreDb::LimitCacheForImport() {
    // 32 MiB hold the indexes' working set of an import; the default (256 MiB) would fill with
    // pages of new bodies and sources that are never read again.
    int64_t before = 0;
    {
        Stmt s(*this, "PRAGMA cache_size");
        if (s.Step()) before = s.Int(0);
    }
    Exec("PRAGMA cache_size=-32768");
    std::weak_ptr<StoreDb> self = weak_from_this();
    return std::shared_ptr<void>(nullptr, [self, before](void*) {
        if (auto db = self.lock())
            sqlite3_exec(db->db_, ("PRAGMA cache_size=" + std::to_string(before)).c_str(), nullptr, nullptr, nullptr);
    });
}

}  // namespace nubra::store
