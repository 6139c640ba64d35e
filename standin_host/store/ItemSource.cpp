// What items were made of (ItemSource.h): compression and the fingerprint of an item's
// properties. No store needed: the readers pack sources on their worker threads.
#include "standin_host/store/ItemSource.h"

#include <zstd.h>

#include "host/AutomationDates.h"
#include "host/MAPIUtils.h"

namespace nubra::store {

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

constexpr const char* kSource = "NubraStore";

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
        if (v) Int(static_cast<uint64_t>(dates::DateToFileTime(*v)));
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

std::shared_ptr<ItemSource> Compress(ItemSource::Kind kind, std::string_view bytes, std::string envelope) {
    thread_local std::unique_ptr<ZSTD_CCtx, CCtxFree> ctx([] {
        ZSTD_CCtx* c = ZSTD_createCCtx();
        // With a checksum of the content, which unpacking verifies: a source is never read back
        // damaged without a word (the store's check before a run leaves sources out).
        ZSTD_CCtx_setParameter(c, ZSTD_c_compressionLevel, kZstdLevel);
        ZSTD_CCtx_setParameter(c, ZSTD_c_checksumFlag, 1);
        return c;
    }());
    auto source = std::make_shared<ItemSource>();
    source->kind = kind;
    source->envelope = std::move(envelope);
    source->size = bytes.size();
    source->packed.resize(ZSTD_compressBound(bytes.size()));
    const size_t n = ZSTD_compress2(ctx.get(), source->packed.data(), source->packed.size(), bytes.data(), bytes.size());
    if (ZSTD_isError(n))
        RaiseError(errnum::kMapiCallFailed, std::string("cannot compress an item's source: ") + ZSTD_getErrorName(n),
                   kSource);
    source->packed.resize(n);
    source->packed.shrink_to_fit();
    return source;
}
}  // namespace

std::shared_ptr<const ItemSource> ItemSource::Pack(Kind kind, std::string_view bytes, std::string envelope) {
    return Compress(kind, bytes, std::move(envelope));
}

std::shared_ptr<const ItemSource> ItemSource::PackMessage(std::string_view bytes, std::string envelope,
                                                          const std::optional<std::string>& body, bool afterEnvelope) {
    const bool readsBack = body && afterEnvelope == !envelope.empty();
    auto source = Compress(Kind::Mime, bytes, std::move(envelope));
    if (readsBack) source->bodyDigest = BodyDigest(*body);
    return source;
}

uint64_t ItemSource::BodyDigest(std::string_view body) { return std::hash<std::string_view>{}(body); }

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

}  // namespace nubra::store
