// Internal to Q7NetDrv: memory for one recurring Asio handler.
//
// The host thread posts the "flush the send queues" handler to an I/O worker
// once per batch of sends. Asio would allocate each such post on the heap
// (the host thread has no handler cache of its own); a HandlerSlot gives the
// post a fixed block instead. At most one post per slot is outstanding at a
// time (the worker's "flush posted" flag sees to it); should a second one
// overlap, or a handler not fit, the allocator falls back to the heap.
#pragma once

#include <atomic>
#include <cstddef>
#include <new>

namespace q7net {

class HandlerSlot {
public:
    void* Allocate(size_t nBytes) {
        if (nBytes <= sizeof m_storage && !m_bInUse.exchange(true, std::memory_order_acquire)) return m_storage;
        return ::operator new(nBytes);
    }
    void Deallocate(void* p) {
        if (p == m_storage) m_bInUse.store(false, std::memory_order_release);
        else ::operator delete(p);
    }

private:
    alignas(std::max_align_t) unsigned char m_storage[256];
    std::atomic<bool> m_bInUse{false};
};

// Standard allocator over a HandlerSlot, for asio::bind_allocator.
template <typename T>
class HandlerSlotAllocator {
public:
    using value_type = T;
    explicit HandlerSlotAllocator(HandlerSlot* pSlot) noexcept : m_pSlot(pSlot) {}
    template <typename U>
    HandlerSlotAllocator(const HandlerSlotAllocator<U>& other) noexcept : m_pSlot(other.m_pSlot) {}

    T* allocate(size_t n) { return static_cast<T*>(m_pSlot->Allocate(sizeof(T) * n)); }
    void deallocate(T* p, size_t) noexcept { m_pSlot->Deallocate(p); }

    template <typename U>
    bool operator==(const HandlerSlotAllocator<U>& other) const noexcept { return m_pSlot == other.m_pSlot; }
    template <typename U>
    bool operator!=(const HandlerSlotAllocator<U>& other) const noexcept { return m_pSlot != other.m_pSlot; }

private:
    template <typename U>
    friend class HandlerSlotAllocator;
    HandlerSlot* m_pSlot;
};

}  // namespace q7net
