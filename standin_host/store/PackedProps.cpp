#include "standin_host/store/PackedProps.h"

#include <algorithm>
#include <cstring>

#include "host/MAPIUtils.h"
#include "standin_host/store/StoreSql.h"

namespace nubra::store::detail {
namespace {

// Layout, little-endian: a format byte, then per property its tag (4 bytes) and a flags byte
// (kDeferred, kInSource), then by the tag's type an integer (8 bytes) or a length (4 bytes)
// and that many bytes; a deferred text and a text in the source carry nothing.
constexpr uint8_t kFormat = 1;
constexpr uint8_t kDeferred = 1;
constexpr uint8_t kInSource = 2;

template <typename T>
void Put(std::string& out, T v) {
    char b[sizeof(T)];
    std::memcpy(b, &v, sizeof(T));
    out.append(b, sizeof(T));
}

void PutBytes(std::string& out, const void* data, size_t n) {
    Put(out, static_cast<uint32_t>(n));
    out.append(static_cast<const char*>(data), n);
}

class Reader {
public:
    explicit Reader(std::span<const uint8_t> d) : d_(d) {}
    bool AtEnd() const { return pos_ == d_.size(); }
    template <typename T>
    bool Get(T& v) {
        if (d_.size() - pos_ < sizeof(T)) return false;
        std::memcpy(&v, d_.data() + pos_, sizeof(T));
        pos_ += sizeof(T);
        return true;
    }
    bool GetBytes(std::span<const uint8_t>& v) {
        uint32_t n = 0;
        if (!Get(n) || d_.size() - pos_ < n) return false;
        v = d_.subspan(pos_, n);
        pos_ += n;
        return true;
    }

private:
    std::span<const uint8_t> d_;
    size_t pos_ = 0;
};

}  // namespace

std::string PackProps(const CachedProps& p) {
    std::string out;
    out.reserve(16 * p.props.size() + 64);
    out.push_back(static_cast<char>(kFormat));
    for (const auto& [tag, v] : p.props) {
        Put(out, tag);
        const bool deferred = std::binary_search(p.deferred.begin(), p.deferred.end(), tag);
        const bool inSource = IsTextInSource(v);
        out.push_back(static_cast<char>((deferred ? kDeferred : 0) | (inSource ? kInSource : 0)));
        switch (TypeOf(tag)) {
            case mapi::PT_LONG:
            case mapi::PT_BOOLEAN:
            case mapi::PT_SYSTIME: Put(out, v.integer); break;
            case mapi::PT_STRING8:
                if (!deferred && !inSource) PutBytes(out, v.text.data(), v.text.size());
                break;
            case mapi::PT_BINARY: PutBytes(out, v.bytes.data(), v.bytes.size()); break;
            default: break;
        }
    }
    return out;
}

bool UnpackProps(std::span<const uint8_t> data, CachedProps& p) {
    p.props.clear();
    p.deferred.clear();
    Reader r(data);
    uint8_t format = 0;
    if (!r.Get(format) || format != kFormat) return false;
    uint32_t last = 0;
    while (!r.AtEnd()) {
        uint32_t tag = 0;
        uint8_t flags = 0;
        if (!r.Get(tag) || !r.Get(flags) || (!p.props.empty() && tag <= last)) return false;
        last = tag;
        PropValue v;
        v.type = static_cast<uint16_t>(TypeOf(tag));
        std::span<const uint8_t> bytes;
        switch (v.type) {
            case mapi::PT_LONG:
            case mapi::PT_BOOLEAN:
            case mapi::PT_SYSTIME:
                if (!r.Get(v.integer)) return false;
                break;
            case mapi::PT_STRING8:
                if (flags & kInSource) v = TextInSource();
                else if (!(flags & kDeferred) && !r.GetBytes(bytes)) return false;
                v.text.assign(bytes.begin(), bytes.end());
                break;
            case mapi::PT_BINARY:
                if (!r.GetBytes(bytes)) return false;
                v.bytes.assign(bytes.begin(), bytes.end());
                break;
            default: break;
        }
        p.props.emplace_back(tag, std::move(v));
        if (flags & kDeferred) p.deferred.push_back(tag);
    }
    return true;
}

}  // namespace nubra::store::detail
