#pragma once
// The items of one folder in folder order, as the object model numbers them (1..Count).

#include <cstddef>
#include <cstdint>
#include <vector>

namespace nubra::store {

// A scan reads items by position and moves them out one at a time. Taking an item out of the
// middle of a plain vector costs the whole folder each time, which makes a scan of a large
// folder quadratic. Here a removed item leaves a gap; a Fenwick tree over the slots that are
// still in use turns a position into a slot in logarithmic time; the slots are compacted once
// gaps outnumber items.
//
// Items are known by their order number (seq, unique and increasing within a folder) so that
// finding one to remove is a binary search and needs no index of its own.
class FolderOrder {
public:
    FolderOrder() = default;
    // From the folder's items in order (seqs increasing).
    FolderOrder(std::vector<int64_t> seqs, std::vector<int64_t> ids);

    size_t size() const { return live_; }
    // The id at 0-based position pos; pos < size().
    int64_t At(size_t pos) const;
    // Adds the item; usually at the end (a new order number is the folder's highest).
    void Insert(int64_t seq, int64_t id);
    // Takes out the item with this order number; false when there is none.
    bool Remove(int64_t seq);
    // Every id in order.
    std::vector<int64_t> Ids() const;

private:
    struct Slot {
        int64_t seq;
        int64_t id;
        bool live;
    };
    void Rebuild();
    int64_t Prefix(size_t slots) const;  // live slots among the first `slots`
    void Add(size_t slot, int delta);

    std::vector<Slot> slots_;
    std::vector<int32_t> tree_;  // Fenwick tree, 1-based: tree_[i] covers slots (i - lowbit(i), i]
    size_t live_ = 0;
};

}  // namespace nubra::store
