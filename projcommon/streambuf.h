// CStreamBuf: a growable byte queue — written at the tail, read from the head.
// When the space behind the tail runs short it first slides the unread bytes
// to the front of the block and only then doubles the block, so a queue that
// is drained as fast as it is filled never grows. Owns its block.
//
// Broken preconditions are reported with QV_ASSERT and handled without
// corrupting the queue: a non-positive initial size allocates a small block,
// Skip beyond the unread bytes consumes only those, a negative Write length is
// refused. When room cannot be made (allocation failure, or a block that
// would pass 2 GiB), Write stores nothing and GetWriteBuf/GetReadBuf return
// null.
// Not thread-safe.
#pragma once

#include <cstdint>

class CStreamBuf {
public:
    explicit CStreamBuf(int nInitSize);
    virtual ~CStreamBuf();
    CStreamBuf(const CStreamBuf&) = delete;
    CStreamBuf& operator=(const CStreamBuf&) = delete;

    void Create(int nSize);
    // Makes room for nLenAdd more bytes behind the tail (compaction, then growth).
    void AdjustBufSize(int nLenAdd);
    // Appends nLen bytes; a null pData only commits bytes written via GetWriteBuf.
    void Write(const void* pData, int nLen);
    // Room for nLen bytes at the tail; commit them with Write(nullptr, nLen).
    uint8_t* GetWriteBuf(int nLen);
    uint8_t* GetReadPtr();
    // Ensures the nLen bytes from the head lie inside the block; returns the head.
    uint8_t* GetReadBuf(int nLen);
    void Skip(int nLen);
    uint32_t GetUsedSize() const { return static_cast<uint32_t>(m_nTail - m_nHead); }
    void Clear() { m_nHead = m_nTail = 0; }
    uint8_t GetAt(uint32_t index) const;

    int GetBufSize() const { return m_nBufSize; }
    int GetHead() const { return m_nHead; }
    int GetTail() const { return m_nTail; }

private:
    uint8_t* m_apData = nullptr;
    int32_t m_nBufSize = 0;
    int32_t m_nHead = 0;
    int32_t m_nTail = 0;
};
