#include "projcommon/streambuf.h"

#include <climits>
#include <cstdlib>
#include <cstring>

#include "projcommon/qvassert.h"
#include "projcommon/tracelog2.h"

namespace {
// A non-positive initial size would never grow by doubling; use this instead.
constexpr int kMinBlockSize = 16;
}

CStreamBuf::CStreamBuf(int nInitSize) { Create(nInitSize); }

CStreamBuf::~CStreamBuf() {
    std::free(m_apData);
    m_apData = nullptr;
}

void CStreamBuf::Create(int nSize) {
    QV_ASSERT(m_apData==NULL);
    if (m_apData) return;
    if (nSize <= 0) nSize = kMinBlockSize;
    m_apData = static_cast<uint8_t*>(std::malloc(static_cast<size_t>(nSize)));
    m_nBufSize = m_apData ? nSize : 0;
}

void CStreamBuf::AdjustBufSize(int nLenAdd) {
    QV_ASSERT(m_apData);
    if (!m_apData) return;
    if (nLenAdd >= m_nBufSize - m_nTail) {
        int nUsed = m_nTail - m_nHead;
        QvTrace(3, u"CStreamBuf::AdjustBufSize 向前移动数据  nLenAdd=%d, 移动前 nHead=%d, nTail=%d, UsedSize=%d",
                nLenAdd, m_nHead, m_nTail, nUsed);
        if (nUsed > 0 && m_nHead > 0) std::memmove(m_apData, m_apData + m_nHead, static_cast<size_t>(nUsed));
        m_nHead = 0;
        m_nTail = nUsed;
    }
    while (nLenAdd > m_nBufSize - m_nTail) {
        // Doubling past the 32-bit size range, or a failed allocation, leaves
        // the block as it is; the callers then find too little room and refuse.
        QV_ASSERT(m_nBufSize <= INT_MAX / 2);
        if (m_nBufSize > INT_MAX / 2) break;
        int nNewSize = m_nBufSize * 2;
        auto* pNew = static_cast<uint8_t*>(std::malloc(static_cast<size_t>(nNewSize)));
        if (!pNew) break;
        if (m_nTail > 0) std::memcpy(pNew, m_apData, static_cast<size_t>(m_nTail));
        std::free(m_apData);
        QvTrace(2, u"CStreamBuf 增加buffer长度 old=%d, new=%d", m_nBufSize, nNewSize);
        m_apData = pNew;
        m_nBufSize = nNewSize;
    }
    if (m_nHead == m_nTail) m_nHead = m_nTail = 0;
}

void CStreamBuf::Write(const void* pData, int nLen) {
    QV_ASSERT(nLen>=0);
    if (nLen < 0) return;  // a negative length would move the tail backwards
    AdjustBufSize(nLen);
    if (!m_apData || nLen > m_nBufSize - m_nTail) return;  // no room could be made
    if (pData && nLen > 0) std::memcpy(m_apData + m_nTail, pData, static_cast<size_t>(nLen));
    m_nTail += nLen;
}

uint8_t* CStreamBuf::GetWriteBuf(int nLen) {
    AdjustBufSize(nLen);
    if (!m_apData || nLen > m_nBufSize - m_nTail) return nullptr;
    return m_apData + m_nTail;
}

uint8_t* CStreamBuf::GetReadPtr() { return m_apData ? m_apData + m_nHead : nullptr; }

uint8_t* CStreamBuf::GetReadBuf(int nLen) {
    AdjustBufSize(nLen + m_nHead - m_nTail);
    if (!m_apData || nLen > m_nBufSize - m_nHead) return nullptr;
    return GetReadPtr();
}

void CStreamBuf::Skip(int nLen) {
    QV_ASSERT(nLen>=0);
    if (nLen < 0) return;
    int nUsed = m_nTail - m_nHead;
    QV_ASSERT(nLen<=nUsed);
    if (nLen > nUsed) nLen = nUsed;  // never move the head past the tail
    m_nHead += nLen;
}

uint8_t CStreamBuf::GetAt(uint32_t index) const {
    QV_ASSERT(index < GetUsedSize());
    if (index >= GetUsedSize()) return 0;
    return m_apData[m_nHead + static_cast<int32_t>(index)];
}
