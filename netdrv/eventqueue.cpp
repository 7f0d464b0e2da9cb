#include "netdrv/eventqueue.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/mman.h>
#endif

#include <cstring>
#include <new>

#include "common/netdrv.h"
#include "netdrv/wakesignal.h"

namespace q7net {

namespace {
#ifdef _WIN32
// Chunks are at least 64 KiB, the granularity of VirtualAlloc's reservations.
uint8_t* MapChunk(size_t nBytes) {
    void* p = ::VirtualAlloc(nullptr, nBytes, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    if (!p) throw std::bad_alloc();
    return static_cast<uint8_t*>(p);
}

void UnmapChunk(uint8_t* p, size_t) {
    ::VirtualFree(p, 0, MEM_RELEASE);
}
#else
uint8_t* MapChunk(size_t nBytes) {
    void* p = mmap(nullptr, nBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) throw std::bad_alloc();
    return static_cast<uint8_t*>(p);
}

void UnmapChunk(uint8_t* p, size_t nBytes) {
    munmap(p, nBytes);
}
#endif
}  // namespace

ChunkPool::~ChunkPool() {
    for (uint8_t* p : m_apFree) UnmapChunk(p, m_nChunkSize);
}

uint8_t* ChunkPool::Take() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_apFree.empty()) {
            uint8_t* p = m_apFree.back();
            m_apFree.pop_back();
            return p;
        }
    }
    return MapChunk(m_nChunkSize);
}

void ChunkPool::Give(uint8_t* pChunk) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_apFree.size() < kMaxCachedChunks) {
            m_apFree.push_back(pChunk);
            return;
        }
    }
    UnmapChunk(pChunk, m_nChunkSize);
}

EventBatch::~EventBatch() {
    if (m_pChunkOwner) {
        for (uint8_t* p : m_apChunks) m_pChunkOwner->Give(p);
    }
}

void EventBatch::AddEvent(int32_t nType, int32_t nSlot, uint32_t dwGen, Connection* pConn) {
    m_aEvents.push_back(QueuedEvent{nType, nSlot, dwGen, 0, nullptr, pConn});
    m_nBytes += kEventBytes;
}

void EventBatch::AddPacket(int32_t nSlot, uint32_t dwGen, const uint8_t* p, uint32_t nLength,
                           ChunkPool& pool) {
    if (m_apChunks.empty() || pool.ChunkSize() - m_nLastUsed < nLength) {
        m_apChunks.reserve(m_apChunks.size() + 1);  // so that push_back cannot throw after Take
        m_apChunks.push_back(pool.Take());
        m_pChunkOwner = &pool;
        m_nLastUsed = 0;
        m_nBytes += pool.ChunkSize();
    }
    uint8_t* pDest = m_apChunks.back() + m_nLastUsed;
    std::memcpy(pDest, p, nLength);
    m_nLastUsed += nLength;
    m_aEvents.push_back(QueuedEvent{NETDRVEVENT_RECEIVE_DATA, nSlot, dwGen, int32_t(nLength), pDest, nullptr});
    m_nBytes += kEventBytes;
}

void EventBatch::Append(EventBatch* pFrom) {
    m_aEvents.insert(m_aEvents.end(), pFrom->m_aEvents.begin(), pFrom->m_aEvents.end());
    if (!pFrom->m_apChunks.empty()) {
        m_apChunks.insert(m_apChunks.end(), pFrom->m_apChunks.begin(), pFrom->m_apChunks.end());
        m_pChunkOwner = pFrom->m_pChunkOwner;
        // This batch is not written into afterwards (only the I/O thread's own
        // batch is), so its last chunk counts as full.
        m_nLastUsed = m_pChunkOwner ? m_pChunkOwner->ChunkSize() : 0;
    }
    m_nBytes += pFrom->m_nBytes;
    pFrom->m_aEvents.clear();
    pFrom->m_apChunks.clear();
    pFrom->m_nLastUsed = 0;
    pFrom->m_nBytes = 0;
}

void EventBatch::Clear(ChunkPool& pool) {
    for (uint8_t* p : m_apChunks) pool.Give(p);
    m_apChunks.clear();
    m_aEvents.clear();
    m_nLastUsed = 0;
    m_nBytes = 0;
}

void EventBatch::Swap(EventBatch* pOther) {
    m_aEvents.swap(pOther->m_aEvents);
    m_apChunks.swap(pOther->m_apChunks);
    std::swap(m_pChunkOwner, pOther->m_pChunkOwner);
    std::swap(m_nLastUsed, pOther->m_nLastUsed);
    std::swap(m_nBytes, pOther->m_nBytes);
}

EventQueue::~EventQueue() {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_bRaised) m_wake.Lower();
}

void EventQueue::Publish(EventBatch* pBatch) {
    if (pBatch->Empty()) return;
    m_nOutstanding.fetch_add(pBatch->Bytes(), std::memory_order_relaxed);
    std::lock_guard<std::mutex> lock(m_mutex);
    m_shared.Append(pBatch);
    if (!m_bRaised) {
        m_bRaised = true;
        m_wake.Raise();
    }
}

bool EventQueue::TakeAll(EventBatch* pOut) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_shared.Empty()) {
        if (m_bRaised) {
            m_bRaised = false;
            m_wake.Lower();
        }
        return false;
    }
    m_shared.Swap(pOut);
    return true;
}

void EventQueue::Discard(ChunkPool& pool) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_nOutstanding.fetch_sub(m_shared.Bytes(), std::memory_order_relaxed);
    m_shared.Clear(pool);
    if (m_bRaised) {
        m_bRaised = false;
        m_wake.Lower();
    }
}

}  // namespace q7net
