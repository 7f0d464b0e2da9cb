// CUserNameIndex: the sessions of the pool by user name, so that a login
// finds the user's existing session without scanning the pool (internal).
//
// A chained hash table over session indexes: each entry is a session index
// under the hash of the user name it was entered with; the names themselves
// stay in the sessions, and FindLowest compares them through the caller's
// test. Of several sessions whose names collide, or that share a name, the
// one with the lowest index that passes the test is found, as a scan of the
// pool in index order would find it. Insert, Erase and a lookup are O(1) on
// average; nothing is allocated after Reset.
//
// Threading: none of its own; the owner's thread only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

class CUserNameIndex {
public:
    // Empty, for session indexes 0 .. nSessions-1.
    void Reset(size_t nSessions);
    // Enters (or moves) the session under strName. Indexes outside the pool
    // are ignored (also by Erase).
    void Insert(uint16_t wSession, std::u16string_view strName);
    void Erase(uint16_t wSession);
    bool Contains(uint16_t wSession) const {
        return wSession < m_aEntry.size() && m_aEntry[wSession].bLinked;
    }
    // The lowest entered session index whose name hashes like strName and
    // for which match(index) is true, or -1. match compares the name itself.
    template <class Match>
    int FindLowest(std::u16string_view strName, Match&& match) const {
        if (m_aHead.empty()) return -1;
        const uint32_t dwHash = Hash(strName);
        int nFound = -1;
        for (uint16_t w = m_aHead[dwHash & m_dwMask]; w != kNone; w = m_aEntry[w].wNext) {
            if (m_aEntry[w].dwHash == dwHash && (nFound < 0 || w < nFound) && match(w)) nFound = w;
        }
        return nFound;
    }
    static uint32_t Hash(std::u16string_view strName);

private:
    static constexpr uint16_t kNone = 0xFFFF;
    struct Entry {
        uint32_t dwHash = 0;       // hash of the name it was entered with
        uint16_t wNext = kNone;    // next entry of the same bucket
        uint8_t bLinked = 0;       // 1 while entered
    };
    std::vector<uint16_t> m_aHead;  // bucket -> first entry
    std::vector<Entry> m_aEntry;    // by session index
    uint32_t m_dwMask = 0;          // bucket count - 1 (a power of two)
};
