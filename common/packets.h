// Client wire protocol: the signal table, the sizes and offsets of the packets
// the server core builds and reads (common/protocol.h), bounded little-endian
// readers and writers, and the builders/parsers of the generic replies
// (result, error, notice), the user-information packet and the version and
// login requests.
//
// A packet is a 16-bit little-endian signal followed by a packed little-endian
// body; the network driver delivers and takes whole packets with their length.
// Text fields are fixed arrays of UTF-16LE units, zero-terminated inside the
// field. Every byte is read and written through CPacketReader/CPacketWriter,
// which check each access against the packet's length; nothing here casts a
// wire buffer to a struct.
//
// Stateless; safe from any thread.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "common/protocol.h"
#include "common/signals.h"
#include "common/userinfo.h"

constexpr uint16_t kFirstGameSignal = 1000;

static_assert(kUserInfoWireSize == sizeof(UserInfo));

// Read-only view of one received packet. Each read names its byte offset and
// returns false, leaving the out value untouched, when the field does not lie
// wholly inside the packet.
class CPacketReader {
public:
    CPacketReader(const void* pData, size_t nLength)
        : m_p(static_cast<const uint8_t*>(pData)), m_n(pData ? nLength : 0) {}

    size_t Length() const { return m_n; }
    bool Has(size_t nOffset, size_t nBytes) const {
        return nOffset <= m_n && nBytes <= m_n - nOffset;
    }

    bool ReadU8(size_t nOffset, uint8_t& v) const;
    bool ReadU16(size_t nOffset, uint16_t& v) const;
    bool ReadI16(size_t nOffset, int16_t& v) const;
    bool ReadU32(size_t nOffset, uint32_t& v) const;
    bool ReadI32(size_t nOffset, int32_t& v) const;
    // A text field of nUnits UTF-16 units: the units up to the first zero (or
    // all of them when the field holds none).
    bool ReadText(size_t nOffset, size_t nUnits, std::u16string& str) const;
    // nUnits raw units into pDst, unchanged.
    bool ReadUnits(size_t nOffset, char16_t* pDst, size_t nUnits) const;

private:
    const uint8_t* m_p;
    size_t m_n;
};

// Writer over a fixed output buffer, which it zero-fills first. A write that
// would leave the buffer writes nothing, is reported as an assertion (it is a
// programming error: every packet here has a fixed layout) and returns false.
class CPacketWriter {
public:
    CPacketWriter(void* pBuffer, size_t nSize);

    size_t Size() const { return m_n; }
    bool WriteU8(size_t nOffset, uint8_t v);
    bool WriteU16(size_t nOffset, uint16_t v);
    bool WriteI16(size_t nOffset, int16_t v) { return WriteU16(nOffset, static_cast<uint16_t>(v)); }
    bool WriteU32(size_t nOffset, uint32_t v);
    bool WriteI32(size_t nOffset, int32_t v) { return WriteU32(nOffset, static_cast<uint32_t>(v)); }
    // A text field of nUnits units: at most nUnits - 1 characters, then zeros.
    bool WriteText(size_t nOffset, size_t nUnits, std::u16string_view str);
    // nUnits raw units, unchanged.
    bool WriteUnits(size_t nOffset, const char16_t* pSrc, size_t nUnits);

private:
    bool Fits(size_t nOffset, size_t nBytes) const;
    uint8_t* m_p;
    size_t m_n;
};

// The signal of a packet; false when it is shorter than 2 bytes.
bool ReadSignal(const void* pPacket, size_t nLength, uint16_t& wSignal);

// The user record at nOffset as a client may see it: every field as stored,
// except nLoginKey, which is written as 0. The login key is the secret behind
// the user's login strings; no client ever needs it.
bool WriteUserInfoForClient(CPacketWriter& w, size_t nOffset, const UserInfo& info);
// Reads a user record as written above.
bool ReadUserInfo(const CPacketReader& r, size_t nOffset, UserInfo& info);

using CoreResultPacket = std::array<uint8_t, kCoreResultSize>;
using CoreErrorPacket = std::array<uint8_t, kCoreErrorSize>;
using CoreNoticePacket = std::array<uint8_t, kCoreNoticeSize>;
using CoreUserInfoPacket = std::array<uint8_t, kCoreUserInfoSize>;
using VersionPacket = std::array<uint8_t, kVersionPacketSize>;
using LoginPacket = std::array<uint8_t, kLoginPacketSize>;

// SC_CORE_RESULT for the request signal.
CoreResultPacket BuildCoreResult(uint16_t wRequestSignal);
// SC_CORE_ERROR: the reason is cut to 29 characters, the rest of the field is zero.
CoreErrorPacket BuildCoreError(uint16_t wRequestSignal, std::u16string_view strReason);
// SC_CORE_NOTICE: the text is cut to 99 characters, the rest of the field is zero.
CoreNoticePacket BuildCoreNotice(std::u16string_view strText);
// SC_CORE_USER_INFO carrying the record as WriteUserInfoForClient writes it.
CoreUserInfoPacket BuildCoreUserInfo(const UserInfo& info);

// Client side (client library, tests): the requests.
VersionPacket BuildVersionPacket(int32_t nVersion);
// wSignal is CS_LOBBY_CLIENT_LOGIN or CS_GAME_CLIENT_LOGIN; the name is cut to
// 16 characters and the login string to 48.
LoginPacket BuildLoginPacket(uint16_t wSignal, std::u16string_view strUserName,
                             std::u16string_view strLoginString);

// Server side: the fields of the requests. Each returns false when the packet
// is shorter than the request's minimum length.
bool ParseVersionPacket(const void* pPacket, size_t nLength, int32_t& nVersion);
struct LoginRequest {
    uint16_t wSignal = 0;
    std::u16string strUserName;     // at most 16 characters
    std::u16string strLoginString;  // at most 48 characters
};
bool ParseLoginPacket(const void* pPacket, size_t nLength, LoginRequest& req);

// Client side: the generic replies. False when the signal or the length does
// not match.
bool ParseCoreResult(const void* pPacket, size_t nLength, uint16_t& wRequestSignal);
bool ParseCoreError(const void* pPacket, size_t nLength, uint16_t& wRequestSignal,
                    std::u16string& strReason);
bool ParseCoreNotice(const void* pPacket, size_t nLength, std::u16string& strText);
bool ParseCoreUserInfo(const void* pPacket, size_t nLength, UserInfo& info);
