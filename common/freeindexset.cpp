#include "common/freeindexset.h"

#include <bit>

namespace {
constexpr size_t kBitsPerWord = 64;
}  // namespace

void CFreeIndexSet::Reset(size_t nSize) {
    const size_t nWords = (nSize + kBitsPerWord - 1) / kBitsPerWord;
    m_aWord.assign(nWords, 0);
    m_aSummary.assign((nWords + kBitsPerWord - 1) / kBitsPerWord, 0);
    m_nSize = nSize;
    m_nCount = 0;
}

void CFreeIndexSet::Insert(size_t nIndex) {
    if (nIndex >= m_nSize || Contains(nIndex)) return;
    const size_t w = nIndex / kBitsPerWord;
    m_aWord[w] |= uint64_t{1} << (nIndex % kBitsPerWord);
    m_aSummary[w / kBitsPerWord] |= uint64_t{1} << (w % kBitsPerWord);
    ++m_nCount;
}

void CFreeIndexSet::Erase(size_t nIndex) {
    if (nIndex >= m_nSize || !Contains(nIndex)) return;
    const size_t w = nIndex / kBitsPerWord;
    m_aWord[w] &= ~(uint64_t{1} << (nIndex % kBitsPerWord));
    if (m_aWord[w] == 0) m_aSummary[w / kBitsPerWord] &= ~(uint64_t{1} << (w % kBitsPerWord));
    --m_nCount;
}

bool CFreeIndexSet::Contains(size_t nIndex) const {
    return nIndex < m_nSize && (m_aWord[nIndex / kBitsPerWord] >> (nIndex % kBitsPerWord) & 1u) != 0;
}

int CFreeIndexSet::Lowest() const {
    for (size_t s = 0; s < m_aSummary.size(); ++s) {
        if (m_aSummary[s] == 0) continue;
        const size_t w = s * kBitsPerWord + static_cast<size_t>(std::countr_zero(m_aSummary[s]));
        return static_cast<int>(w * kBitsPerWord + static_cast<size_t>(std::countr_zero(m_aWord[w])));
    }
    return -1;
}
