// CFreeIndexSet: the free entries of a fixed pool, answering "lowest free
// index" without scanning the pool (internal).
//
// A two-level bitmap: one bit per index, and one summary bit per 64-index
// word that has any bit set. Insert, Erase and Contains are O(1); Lowest
// reads the summary words (one per 4096 indexes, 8 for the largest pool the
// server builds) and two bits. Nothing is allocated after Reset.
//
// Threading: none of its own; the owner's thread only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

class CFreeIndexSet {
public:
    // An empty set over the indexes 0 .. nSize-1.
    void Reset(size_t nSize);
    // Indexes outside 0 .. Size()-1 are ignored.
    void Insert(size_t nIndex);
    void Erase(size_t nIndex);
    bool Contains(size_t nIndex) const;
    // The lowest member, or -1 when the set is empty.
    int Lowest() const;
    size_t Count() const { return m_nCount; }
    size_t Size() const { return m_nSize; }

private:
    std::vector<uint64_t> m_aWord;     // bit i%64 of word i/64: index i is a member
    std::vector<uint64_t> m_aSummary;  // bit w%64 of entry w/64: word w is not zero
    size_t m_nSize = 0;                // indexes covered
    size_t m_nCount = 0;               // members
};
