#include "common/packets.h"

#include <cstring>

#include "platform/byteorder.h"
#include "projcommon/qvassert.h"

bool CPacketReader::ReadU8(size_t nOffset, uint8_t& v) const {
    if (!Has(nOffset, 1)) return false;
    v = m_p[nOffset];
    return true;
}

bool CPacketReader::ReadU16(size_t nOffset, uint16_t& v) const {
    if (!Has(nOffset, 2)) return false;
    v = plat::LoadLe16(m_p + nOffset);
    return true;
}

bool CPacketReader::ReadI16(size_t nOffset, int16_t& v) const {
    uint16_t u = 0;
    if (!ReadU16(nOffset, u)) return false;
    v = static_cast<int16_t>(u);
    return true;
}

bool CPacketReader::ReadU32(size_t nOffset, uint32_t& v) const {
    if (!Has(nOffset, 4)) return false;
    v = plat::LoadLe32(m_p + nOffset);
    return true;
}

bool CPacketReader::ReadI32(size_t nOffset, int32_t& v) const {
    uint32_t u = 0;
    if (!ReadU32(nOffset, u)) return false;
    v = static_cast<int32_t>(u);
    return true;
}

bool CPacketReader::ReadText(size_t nOffset, size_t nUnits, std::u16string& str) const {
    if (nUnits > SIZE_MAX / 2 || !Has(nOffset, 2 * nUnits)) return false;
    std::u16string out;
    for (size_t i = 0; i < nUnits; ++i) {
        char16_t c = static_cast<char16_t>(plat::LoadLe16(m_p + nOffset + 2 * i));
        if (c == 0) break;
        out.push_back(c);
    }
    str = std::move(out);
    return true;
}

bool CPacketReader::ReadUnits(size_t nOffset, char16_t* pDst, size_t nUnits) const {
    if (nUnits > SIZE_MAX / 2 || !Has(nOffset, 2 * nUnits)) return false;
    for (size_t i = 0; i < nUnits; ++i)
        pDst[i] = static_cast<char16_t>(plat::LoadLe16(m_p + nOffset + 2 * i));
    return true;
}

CPacketWriter::CPacketWriter(void* pBuffer, size_t nSize)
    : m_p(static_cast<uint8_t*>(pBuffer)), m_n(pBuffer ? nSize : 0) {
    if (m_n) std::memset(m_p, 0, m_n);
}

bool CPacketWriter::Fits(size_t nOffset, size_t nBytes) const {
    bool bFits = nOffset <= m_n && nBytes <= m_n - nOffset;
    QV_ASSERT(bFits);
    return bFits;
}

bool CPacketWriter::WriteU8(size_t nOffset, uint8_t v) {
    if (!Fits(nOffset, 1)) return false;
    m_p[nOffset] = v;
    return true;
}

bool CPacketWriter::WriteU16(size_t nOffset, uint16_t v) {
    if (!Fits(nOffset, 2)) return false;
    plat::StoreLe16(m_p + nOffset, v);
    return true;
}

bool CPacketWriter::WriteU32(size_t nOffset, uint32_t v) {
    if (!Fits(nOffset, 4)) return false;
    plat::StoreLe32(m_p + nOffset, v);
    return true;
}

bool CPacketWriter::WriteText(size_t nOffset, size_t nUnits, std::u16string_view str) {
    if (nUnits == 0 || nUnits > SIZE_MAX / 2 || !Fits(nOffset, 2 * nUnits)) return false;
    size_t i = 0;
    for (; i + 1 < nUnits && i < str.size() && str[i] != 0; ++i)
        plat::StoreLe16(m_p + nOffset + 2 * i, str[i]);
    std::memset(m_p + nOffset + 2 * i, 0, 2 * (nUnits - i));
    return true;
}

bool CPacketWriter::WriteUnits(size_t nOffset, const char16_t* pSrc, size_t nUnits) {
    if (nUnits > SIZE_MAX / 2 || !Fits(nOffset, 2 * nUnits)) return false;
    for (size_t i = 0; i < nUnits; ++i) plat::StoreLe16(m_p + nOffset + 2 * i, pSrc[i]);
    return true;
}

bool ReadSignal(const void* pPacket, size_t nLength, uint16_t& wSignal) {
    return CPacketReader(pPacket, nLength).ReadU16(0, wSignal);
}

// The record's wire form is its in-process layout.
static_assert(kUserRecordGuidOffset == offsetof(UserInfo, szGUID) && kUserRecordGuidUnits == kGuidUnits);
static_assert(kUserRecordNameOffset == offsetof(UserInfo, szUserName) && kUserRecordNameUnits == kUserNameUnits);
static_assert(kUserRecordExtraOffset == offsetof(UserInfo, szExtra) && kUserRecordExtraUnits == kUserExtraUnits);
static_assert(kUserRecordLoginKeyOffset == offsetof(UserInfo, nLoginKey));
static_assert(kUserRecordGoldOffset == offsetof(UserInfo, nGold));
static_assert(kUserRecordGameCoinOffset == offsetof(UserInfo, nGameCoin));
static_assert(kUserRecordReservedOffset == offsetof(UserInfo, nReserved));

bool WriteUserInfoForClient(CPacketWriter& w, size_t nOffset, const UserInfo& info) {
    if (nOffset > w.Size() || w.Size() - nOffset < kUserInfoWireSize) {
        QV_ASSERT_TEXT("WriteUserInfoForClient: record does not fit");
        return false;
    }
    w.WriteUnits(nOffset + kUserRecordGuidOffset, info.szGUID, kGuidUnits);
    w.WriteUnits(nOffset + kUserRecordNameOffset, info.szUserName, kUserNameUnits);
    w.WriteUnits(nOffset + kUserRecordExtraOffset, info.szExtra, kUserExtraUnits);
    w.WriteI32(nOffset + kUserRecordLoginKeyOffset, 0);
    w.WriteI32(nOffset + kUserRecordGoldOffset, info.nGold);
    w.WriteI32(nOffset + kUserRecordGameCoinOffset, info.nGameCoin);
    w.WriteI32(nOffset + kUserRecordReservedOffset, info.nReserved);
    return true;
}

bool ReadUserInfo(const CPacketReader& r, size_t nOffset, UserInfo& info) {
    if (!r.Has(nOffset, kUserInfoWireSize)) return false;
    // The record is packed: its integers sit at 2-byte offsets, so they are
    // read into locals, never through references to the fields (the text
    // arrays are 2-byte aligned like the record).
    UserInfo u{};
    r.ReadUnits(nOffset + kUserRecordGuidOffset, u.szGUID, kGuidUnits);
    r.ReadUnits(nOffset + kUserRecordNameOffset, u.szUserName, kUserNameUnits);
    r.ReadUnits(nOffset + kUserRecordExtraOffset, u.szExtra, kUserExtraUnits);
    int32_t nLoginKey = 0, nGold = 0, nGameCoin = 0, nReserved = 0;
    r.ReadI32(nOffset + kUserRecordLoginKeyOffset, nLoginKey);
    r.ReadI32(nOffset + kUserRecordGoldOffset, nGold);
    r.ReadI32(nOffset + kUserRecordGameCoinOffset, nGameCoin);
    r.ReadI32(nOffset + kUserRecordReservedOffset, nReserved);
    u.nLoginKey = nLoginKey;
    u.nGold = nGold;
    u.nGameCoin = nGameCoin;
    u.nReserved = nReserved;
    info = u;
    return true;
}

CoreResultPacket BuildCoreResult(uint16_t wRequestSignal) {
    CoreResultPacket p;
    CPacketWriter w(p.data(), p.size());
    w.WriteU16(0, SC_CORE_RESULT);
    w.WriteU16(kCoreResultRequestOffset, wRequestSignal);
    return p;
}

CoreErrorPacket BuildCoreError(uint16_t wRequestSignal, std::u16string_view strReason) {
    CoreErrorPacket p;
    CPacketWriter w(p.data(), p.size());
    w.WriteU16(0, SC_CORE_ERROR);
    w.WriteU16(kCoreErrorRequestOffset, wRequestSignal);
    w.WriteText(kCoreErrorTextOffset, kCoreErrorTextUnits, strReason);
    return p;
}

CoreNoticePacket BuildCoreNotice(std::u16string_view strText) {
    CoreNoticePacket p;
    CPacketWriter w(p.data(), p.size());
    w.WriteU16(0, SC_CORE_NOTICE);
    w.WriteText(kCoreNoticeTextOffset, kCoreNoticeTextUnits, strText);
    return p;
}

CoreUserInfoPacket BuildCoreUserInfo(const UserInfo& info) {
    CoreUserInfoPacket p;
    CPacketWriter w(p.data(), p.size());
    w.WriteU16(0, SC_CORE_USER_INFO);
    WriteUserInfoForClient(w, kCoreUserInfoRecordOffset, info);
    return p;
}

VersionPacket BuildVersionPacket(int32_t nVersion) {
    VersionPacket p;
    CPacketWriter w(p.data(), p.size());
    w.WriteU16(0, CS_CORE_VERSION);
    w.WriteI32(kVersionValueOffset, nVersion);
    return p;
}

LoginPacket BuildLoginPacket(uint16_t wSignal, std::u16string_view strUserName,
                             std::u16string_view strLoginString) {
    LoginPacket p;
    CPacketWriter w(p.data(), p.size());
    w.WriteU16(0, wSignal);
    w.WriteText(kLoginUserNameOffset, kLoginUserNameUnits, strUserName);
    w.WriteText(kLoginStringOffset, kLoginStringUnits, strLoginString);
    return p;
}

bool ParseVersionPacket(const void* pPacket, size_t nLength, int32_t& nVersion) {
    CPacketReader r(pPacket, nLength);
    return r.Has(0, kVersionPacketSize) && r.ReadI32(kVersionValueOffset, nVersion);
}

bool ParseLoginPacket(const void* pPacket, size_t nLength, LoginRequest& req) {
    CPacketReader r(pPacket, nLength);
    if (!r.Has(0, kLoginPacketSize)) return false;
    LoginRequest out;
    r.ReadU16(0, out.wSignal);
    // The last unit of each field is the terminator whatever the packet holds.
    r.ReadText(kLoginUserNameOffset, kLoginUserNameUnits - 1, out.strUserName);
    r.ReadText(kLoginStringOffset, kLoginStringUnits - 1, out.strLoginString);
    req = std::move(out);
    return true;
}

namespace {
bool HasSignal(const CPacketReader& r, uint16_t wExpected, size_t nSize) {
    uint16_t wSignal = 0;
    return r.Length() == nSize && r.ReadU16(0, wSignal) && wSignal == wExpected;
}
}  // namespace

bool ParseCoreResult(const void* pPacket, size_t nLength, uint16_t& wRequestSignal) {
    CPacketReader r(pPacket, nLength);
    return HasSignal(r, SC_CORE_RESULT, kCoreResultSize) &&
           r.ReadU16(kCoreResultRequestOffset, wRequestSignal);
}

bool ParseCoreError(const void* pPacket, size_t nLength, uint16_t& wRequestSignal,
                    std::u16string& strReason) {
    CPacketReader r(pPacket, nLength);
    return HasSignal(r, SC_CORE_ERROR, kCoreErrorSize) &&
           r.ReadU16(kCoreErrorRequestOffset, wRequestSignal) &&
           r.ReadText(kCoreErrorTextOffset, kCoreErrorTextUnits, strReason);
}

bool ParseCoreNotice(const void* pPacket, size_t nLength, std::u16string& strText) {
    CPacketReader r(pPacket, nLength);
    return HasSignal(r, SC_CORE_NOTICE, kCoreNoticeSize) &&
           r.ReadText(kCoreNoticeTextOffset, kCoreNoticeTextUnits, strText);
}

bool ParseCoreUserInfo(const void* pPacket, size_t nLength, UserInfo& info) {
    CPacketReader r(pPacket, nLength);
    return HasSignal(r, SC_CORE_USER_INFO, kCoreUserInfoSize) &&
           ReadUserInfo(r, kCoreUserInfoRecordOffset, info);
}
