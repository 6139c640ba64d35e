#include "standin_host/store/FolderOrder.h"

#include <algorithm>
#include <bit>
#include <cassert>

namespace nubra::store {

namespace {
size_t LowBit(size_t i) { return i & (~i + 1); }
}  // namespace

FolderOrder::FolderOrder(std::vector<int64_t> seqs, std::vector<int64_t> ids) {
    assert(seqs.size() == ids.size());
    slots_.reserve(ids.size());
    for (size_t i = 0; i < ids.size(); ++i) slots_.push_back(Slot{seqs[i], ids[i], true});
    Rebuild();
}

void FolderOrder::Rebuild() {
    std::erase_if(slots_, [](const Slot& s) { return !s.live; });
    live_ = slots_.size();
    // Every slot counts one, so tree_[i] is the number of slots it covers.
    tree_.assign(slots_.size() + 1, 0);
    for (size_t i = 1; i < tree_.size(); ++i) tree_[i] = static_cast<int32_t>(LowBit(i));
}

int64_t FolderOrder::Prefix(size_t slots) const {
    int64_t sum = 0;
    for (size_t i = slots; i > 0; i -= LowBit(i)) sum += tree_[i];
    return sum;
}

void FolderOrder::Add(size_t slot, int delta) {
    for (size_t i = slot + 1; i < tree_.size(); i += LowBit(i)) tree_[i] += delta;
}

int64_t FolderOrder::At(size_t pos) const {
    assert(pos < live_);
    // The slot after which pos + 1 live slots have been passed: descend the tree.
    size_t i = 0;
    size_t remaining = pos + 1;
    for (size_t step = std::bit_floor(tree_.size() - 1); step > 0; step >>= 1) {
        if (i + step < tree_.size() && static_cast<size_t>(tree_[i + step]) < remaining) {
            i += step;
            remaining -= static_cast<size_t>(tree_[i]);
        }
    }
    return slots_[i].id;  // slot i is the (i + 1)-th, 1-based
}

void FolderOrder::Insert(int64_t seq, int64_t id) {
    if (!slots_.empty() && seq <= slots_.back().seq) {
        // Not at the end: rare (order numbers only grow), so sort it in and start over.
        auto at = std::lower_bound(slots_.begin(), slots_.end(), seq,
                                   [](const Slot& s, int64_t v) { return s.seq < v; });
        slots_.insert(at, Slot{seq, id, true});
        Rebuild();
        return;
    }
    slots_.push_back(Slot{seq, id, true});
    // The new node covers (n - lowbit(n), n]: itself plus the live slots before it in that range.
    const size_t n = slots_.size();
    tree_.push_back(static_cast<int32_t>(1 + Prefix(n - 1) - Prefix(n - LowBit(n))));
    ++live_;
}

bool FolderOrder::Remove(int64_t seq) {
    auto it = std::lower_bound(slots_.begin(), slots_.end(), seq,
                               [](const Slot& s, int64_t v) { return s.seq < v; });
    if (it == slots_.end() || it->seq != seq || !it->live) return false;
    it->live = false;
    Add(static_cast<size_t>(it - slots_.begin()), -1);
    --live_;
    if (slots_.size() > 1024 && live_ < slots_.size() / 2) Rebuild();
    return true;
}

std::vector<int64_t> FolderOrder::Ids() const {
    std::vector<int64_t> out;
    out.reserve(live_);
    for (const auto& s : slots_)
        if (s.live) out.push_back(s.id);
    return out;
}

}  // namespace nubra::store
