#include "netdrv/slottable.h"

#include <bit>

namespace q7net {

SlotTable::SlotTable(int nSlots)
    : m_nSlots(nSlots), m_aFreeBits((size_t(nSlots) + 63) / 64, ~uint64_t(0)),
      m_aGen(size_t(nSlots), 0), m_apConn(size_t(nSlots)) {
    // Bits past the last slot are never free.
    if (nSlots % 64) m_aFreeBits.back() = (uint64_t(1) << (nSlots % 64)) - 1;
}

int SlotTable::Acquire(uint32_t* pdwGen) {
    std::lock_guard<std::mutex> lock(m_mutex);
    for (size_t w = 0; w < m_aFreeBits.size(); ++w) {
        if (m_aFreeBits[w] == 0) continue;
        const int nBit = std::countr_zero(m_aFreeBits[w]);
        m_aFreeBits[w] &= ~(uint64_t(1) << nBit);
        const int nSlot = int(w * 64) + nBit;
        *pdwGen = ++m_aGen[size_t(nSlot)];
        ++m_nInUse;
        return nSlot;
    }
    return -1;
}

void SlotTable::Put(int nSlot, std::shared_ptr<Connection> pConn) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_apConn[size_t(nSlot)] = std::move(pConn);
}

std::shared_ptr<Connection> SlotTable::Free(int nSlot) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (nSlot < 0 || nSlot >= m_nSlots) return nullptr;
    uint64_t& word = m_aFreeBits[size_t(nSlot) / 64];
    const uint64_t bit = uint64_t(1) << (nSlot % 64);
    if (word & bit) return nullptr;
    word |= bit;
    --m_nInUse;
    return std::move(m_apConn[size_t(nSlot)]);
}

void SlotTable::Clear() {
    std::vector<std::shared_ptr<Connection>> apDrop;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        apDrop.swap(m_apConn);
        m_apConn.resize(size_t(m_nSlots));
        for (auto& w : m_aFreeBits) w = ~uint64_t(0);
        if (m_nSlots % 64) m_aFreeBits.back() = (uint64_t(1) << (m_nSlots % 64)) - 1;
        m_nInUse = 0;
    }
    // The connections die outside the lock.
}

int SlotTable::InUse() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_nInUse;
}

}  // namespace q7net
