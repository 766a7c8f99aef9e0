// The walk over the node tree that both passes of a run make.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "pfc/container.h"
#include "pfc/memory_plan.h"

namespace kistwerk {

// The walks keep their own stack instead of recursing, so nesting of any depth
// costs heap, not thread stack, and remember which node indexes they have seen in
// this pass: a chain that comes back to a seen node (a cycle, or a subtree shared
// by two parents) ends there, so every walk ends after at most one visit per node.
//
// Both kinds of memory have a ceiling, so that a crafted file cannot make the walk
// grow with the file (a table of a quarter of a billion entries, chains nested as
// deep as the file is long). An archive the client wrote stays far below both: its
// table has an entry per node and per record, a few million in 2 GiB, and its
// folders nest a handful of levels. Past a ceiling the walk acts as it does at an
// unreadable node, the same way in both passes: an index on a page that can no
// longer be taken ends its chain, and a node whose subtree would need one more
// pending sibling is passed over with that subtree.
class NodeWalk {
public:
    explicit NodeWalk(const Container& container) : container_(container)
    {
        std::int64_t limit = entriesPresent(container);
        if (limit > container.entryCount)
            limit = container.entryCount;
        // Index 1 starts every walk even when no index is valid.
        if (limit < 1)
            limit = 1;
        seenPages_.resize(static_cast<std::size_t>(limit / kPageBits + 1));
        limit_ = limit;
    }

    // Chains the walk could not follow to their end: a valid index whose table
    // entry or node could not be read, or that lay past a ceiling, and subtrees
    // passed over for want of room for their sibling.
    std::uint32_t partsLost() const { return lost_; }

    // Calls onLeaf(node) for every leaf with a valid data index, in visiting
    // order, until it returns false. Returns false when stopped that way.
    template <class OnLeaf>
    bool run(std::int32_t start, OnLeaf onLeaf)
    {
        std::int32_t k = start;
        for (;;) {
            PfcNode node;
            if (visit(k, node)) {
                if (isValidIndex(container_, node.childIndex)) {
                    if (!keepForLater(node.nextIndex)) {
                        k = node.nextIndex;
                        continue;
                    }
                    k = node.childIndex;
                    continue;
                }
                if (isValidIndex(container_, node.dataIndex) && !onLeaf(node))
                    return false;
                if (isValidIndex(container_, node.nextIndex)) {
                    k = node.nextIndex;
                    continue;
                }
            }
            if (!resumeParentChain(k))
                return true;
        }
    }

private:
    bool visit(std::int32_t k, PfcNode& node)
    {
        if (!isValidIndex(container_, k) && k != 1)
            return false;
        // An index past the table entries in the file cannot be read anyway.
        if (k > limit_)
            return lose(k);
        std::unique_ptr<std::uint64_t[]>& page = seenPages_[static_cast<std::size_t>(k / kPageBits)];
        if (!page) {
            if (pagesTaken_ == kMaxPages)
                return lose(k);
            page = std::make_unique<std::uint64_t[]>(kPageWords);
            ++pagesTaken_;
        }
        std::uint64_t& word = *seenWord(k);
        if (word & seenBit(k))
            return false;
        word |= seenBit(k);
        return readNode(container_, k, node) || lose(k);
    }

    // The start index of a file without entries leads nowhere by design.
    bool lose(std::int32_t k)
    {
        if (isValidIndex(container_, k))
            ++lost_;
        return false;
    }

    bool wasSeen(std::int32_t k) const
    {
        if (k < 1 || k > limit_)
            return true;
        const std::uint64_t* word = seenWord(k);
        return word != nullptr && (*word & seenBit(k)) != 0;
    }

    // The word of the seen-set that holds index k, or null while its page is not taken.
    std::uint64_t* seenWord(std::int32_t k) const
    {
        const std::unique_ptr<std::uint64_t[]>& page = seenPages_[static_cast<std::size_t>(k / kPageBits)];
        return page ? &page[static_cast<std::size_t>(k % kPageBits) / 64] : nullptr;
    }

    static std::uint64_t seenBit(std::int32_t k) { return std::uint64_t{1} << (k % 64); }

    // Remembers the sibling to go on with after a subtree. Only a sibling the walk
    // could still visit takes room, so a chain of first children nests at no cost.
    // False when there is no room left: the caller then passes over the subtree.
    bool keepForLater(std::int32_t next)
    {
        if (!isValidIndex(container_, next) || wasSeen(next))
            return true;
        if (resume_.size() == kMaxPending) {
            ++lost_;
            return false;
        }
        resume_.push_back(next);
        return true;
    }

    // After a chain ends, go on with the next sibling of the innermost parent that
    // has one.
    bool resumeParentChain(std::int32_t& k)
    {
        while (!resume_.empty()) {
            k = resume_.back();
            resume_.pop_back();
            if (isValidIndex(container_, k))
                return true;
        }
        return false;
    }

    const Container& container_;
    // One bit per index, in pages taken when the walk first reaches them: a head
    // may claim far more entries than the file holds or the tree uses, and
    // memory must follow the nodes visited, not the claim. Small pages keep a
    // walk that leaps across the table from touching much more than it visits.
    static constexpr std::int64_t kPageBits = std::int64_t{1} << 15;
    static constexpr std::size_t kPageWords = static_cast<std::size_t>(kPageBits / 64);
    // 256 pages of 4 KiB: 8 million indexes, 1 MiB.
    static constexpr std::size_t kMaxPages = MemoryPlan::kSeenPages;
    // 256 KiB of siblings waiting for their turn.
    static constexpr std::size_t kMaxPending = MemoryPlan::kPendingSiblings;
    std::vector<std::unique_ptr<std::uint64_t[]>> seenPages_;
    std::size_t pagesTaken_ = 0;
    std::int64_t limit_ = 0;
    std::uint32_t lost_ = 0;
    std::vector<std::int32_t> resume_;
};

} // namespace kistwerk
