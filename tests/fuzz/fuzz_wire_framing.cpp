// Fuzz target: the wire framing of both ends and the packet readers.
//
// The input is a byte stream with a small header: the maximum packet size and
// the points at which the stream is cut into the pieces a socket would hand
// over. The network driver's parser (q7net::ParseFrame, driven the way a
// connection drives it: the carried bytes plus the new piece in one buffer)
// and the client library's FrameDecoder must see the same packets in the same
// order and agree on the end state (need more or bad) after every piece, and
// both must agree with a parse of the uncut stream. Every buffer is exactly
// as long as its bytes, so a read past the end is caught.
//
// Every packet found, and the stream itself, then goes through the readers of
// both ends: the server's parsers of common/packets.h, the client's of
// qvclient/messages.h, and the bounded readers underneath. Where both ends
// read the same message they must read the same fields, and a message the
// server's parser accepts must come back the same after building it again.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "client/qvclient/messages.h"
#include "client/qvclient/wire.h"
#include "common/packets.h"
#include "netdrv/wireframe.h"

#include "tests/fuzz/fuzzcheck.h"

namespace {

using Bytes = std::vector<uint8_t>;


constexpr uint32_t kMaxPackets[] = {2, 3, 6, 64, 200, 1024, 65536, 0xFFFFFFFFu};

enum class End { NeedMore, Bad };

// The driver's side: a connection's carry buffer and its parse loop.
class DriverStream {
public:
    explicit DriverStream(uint32_t dwMax) : m_dwMax(dwMax) {}
    // Hands a piece over; appends the packets it completes.
    End Feed(std::span<const uint8_t> piece, std::vector<Bytes>& aOut) {
        if (m_bBad) return End::Bad;
        Bytes buf(m_carry.size() + piece.size());  // exactly the bytes there are
        std::copy(m_carry.begin(), m_carry.end(), buf.begin());
        std::copy(piece.begin(), piece.end(), buf.begin() + static_cast<std::ptrdiff_t>(m_carry.size()));
        size_t nOff = 0;
        for (;;) {
            uint32_t dwLength = 0xDEADBEEF;
            const q7net::FrameStatus e = q7net::ParseFrame(buf.data() + nOff, buf.size() - nOff, m_dwMax, &dwLength);
            if (e == q7net::FrameStatus::NeedMore) {
                Require(dwLength == 0xDEADBEEF, "need-more wrote the length");
                break;
            }
            if (e == q7net::FrameStatus::Bad) {
                Require(dwLength == 0xDEADBEEF, "bad wrote the length");
                m_bBad = true;
                return End::Bad;
            }
            Require(dwLength >= q7net::kMinPacketSize && dwLength <= m_dwMax, "complete frame of a bad length");
            Require(buf.size() - nOff >= q7net::kFrameHeaderSize + size_t{dwLength}, "frame beyond the bytes");
            const uint8_t* p = buf.data() + nOff + q7net::kFrameHeaderSize;
            aOut.emplace_back(p, p + dwLength);
            nOff += q7net::kFrameHeaderSize + dwLength;
        }
        m_carry.assign(buf.begin() + static_cast<std::ptrdiff_t>(nOff), buf.end());
        return End::NeedMore;
    }

private:
    uint32_t m_dwMax;
    Bytes m_carry;
    bool m_bBad = false;
};

End DrainClient(qvc::FrameDecoder& dec, std::vector<Bytes>& aOut) {
    for (;;) {
        Bytes packet;
        switch (dec.Next(packet)) {
            case qvc::FrameDecoder::Result::Complete:
                aOut.push_back(std::move(packet));
                break;
            case qvc::FrameDecoder::Result::NeedMore:
                return End::NeedMore;
            case qvc::FrameDecoder::Result::Bad:
                return End::Bad;
        }
    }
}

void CheckFraming(uint32_t dwMax, std::span<const uint8_t> stream, const std::vector<size_t>& aCuts,
                  std::vector<Bytes>& aPackets) {
    DriverStream drv(dwMax);
    qvc::FrameDecoder dec(dwMax);
    std::vector<Bytes> aDriver, aClient;
    End eDriver = End::NeedMore, eClient = End::NeedMore;
    size_t nPos = 0;
    for (size_t i = 0; i <= aCuts.size(); ++i) {
        const size_t nEnd = i < aCuts.size() ? std::min(stream.size(), nPos + aCuts[i]) : stream.size();
        const Bytes piece(stream.begin() + static_cast<std::ptrdiff_t>(nPos),
                          stream.begin() + static_cast<std::ptrdiff_t>(nEnd));
        nPos = nEnd;
        eDriver = drv.Feed(piece, aDriver);
        if (!piece.empty()) dec.Feed(piece.data(), piece.size());
        eClient = DrainClient(dec, aClient);
        Require(eDriver == eClient, "driver and client disagree on the stream state");
        Require(aDriver == aClient, "driver and client disagree on the packets");
    }
    // The uncut stream gives the same.
    DriverStream whole(dwMax);
    std::vector<Bytes> aWhole;
    const Bytes all(stream.begin(), stream.end());
    Require(whole.Feed(all, aWhole) == eDriver && aWhole == aDriver, "cutting the stream changed the parse");
    // Framing the packets again gives the stream's consumed prefix.
    Bytes again;
    for (const Bytes& p : aDriver) qvc::AppendFrame(again, p);
    Require(again.size() <= stream.size() && std::equal(again.begin(), again.end(), stream.begin()),
            "packets framed again differ from the stream");
    aPackets = std::move(aDriver);
}

void CheckReaders(std::span<const uint8_t> p) {
    // Exactly sized copy, so that every reader is bounded by the packet.
    const Bytes own(p.begin(), p.end());
    const uint8_t* d = own.empty() ? nullptr : own.data();
    const std::span<const uint8_t> s(d, own.size());

    uint16_t wSignal = 0;
    Require(ReadSignal(d, own.size(), wSignal) == (own.size() >= 2), "signal read");

    int32_t nVersion = 0;
    if (ParseVersionPacket(d, own.size(), nVersion)) Require(own.size() >= kVersionPacketSize, "short version");
    LoginRequest login;
    if (ParseLoginPacket(d, own.size(), login)) {
        Require(login.strUserName.size() <= kLoginUserNameUnits - 1 &&
                    login.strLoginString.size() <= kLoginStringUnits - 1,
                "login field too long");
        const LoginPacket again = BuildLoginPacket(login.wSignal, login.strUserName, login.strLoginString);
        LoginRequest back;
        Require(ParseLoginPacket(again.data(), again.size(), back) && back.strUserName == login.strUserName &&
                    back.strLoginString == login.strLoginString && back.wSignal == login.wSignal,
                "login packet does not rebuild");
    }

    uint16_t wRequest = 0, wClientRequest = 0;
    if (ParseCoreResult(d, own.size(), wRequest)) {
        Require(qvc::ParseResult(s, wClientRequest) && wClientRequest == wRequest, "result read differently");
        const CoreResultPacket again = BuildCoreResult(wRequest);
        Require(std::equal(again.begin(), again.end(), own.begin()), "result does not rebuild");
    }
    std::u16string strText, strClientText;
    if (ParseCoreError(d, own.size(), wRequest, strText)) {
        Require(qvc::ParseError(s, wClientRequest, strClientText) && wClientRequest == wRequest &&
                    strClientText == strText,
                "error read differently");
        if (strText.size() < kCoreErrorTextUnits) {
            const CoreErrorPacket again = BuildCoreError(wRequest, strText);
            uint16_t wBack = 0;
            std::u16string strBack;
            Require(ParseCoreError(again.data(), again.size(), wBack, strBack) && wBack == wRequest &&
                        strBack == strText,
                    "error does not rebuild");
        }
    }
    if (ParseCoreNotice(d, own.size(), strText)) {
        Require(qvc::ParseNotice(s, strClientText) && strClientText == strText, "notice read differently");
        if (strText.size() < kCoreNoticeTextUnits) {
            const CoreNoticePacket again = BuildCoreNotice(strText);
            std::u16string strBack;
            Require(ParseCoreNotice(again.data(), again.size(), strBack) && strBack == strText,
                    "notice does not rebuild");
        }
    }
    UserInfo info{};
    if (ParseCoreUserInfo(d, own.size(), info)) {
        qvc::UserRecord rec;
        Require(qvc::ParseUserInfo(s, rec), "user info refused by the client");
        const int32_t nGold = info.nGold, nCoin = info.nGameCoin, nKey = info.nLoginKey;
        Require(rec.nGold == nGold && rec.nGameCoin == nCoin && rec.nLoginKey == nKey, "user info read differently");
        const CoreUserInfoPacket again = BuildCoreUserInfo(info);
        UserInfo back{};
        Require(ParseCoreUserInfo(again.data(), again.size(), back), "user info does not rebuild");
        const int32_t nBackGold = back.nGold, nBackCoin = back.nGameCoin, nBackKey = back.nLoginKey;
        Require(nBackGold == nGold && nBackCoin == nCoin && nBackKey == 0, "user info rebuilt differently");
        Require(std::memcmp(back.szUserName, info.szUserName, sizeof(info.szUserName)) == 0,
                "user name rebuilt differently");
    }

    // The client's readers of everything else.
    qvc::UserRecord rec;
    uint16_t wPlace = 0;
    int32_t nCount = 0;
    qvc::RoomStateMsg st;
    qvc::CoinParamsMsg cp;
    qvc::DiceResultMsg res;
    (void)qvc::ParseRoomUserInfo(s, wPlace, rec);
    (void)qvc::ParseRoomCount(s, nCount);
    (void)qvc::ParseRoomState(s, st);
    (void)qvc::ParseCoinParams(s, cp);
    if (qvc::ParseDiceResult(s, res)) Require(16 + res.aPlayers.size() * 7 <= own.size(), "dice result beyond the packet");
    const std::string strLine = qvc::DescribePacket(s);
    Require(strLine.size() < 64 * 1024, "packet description unbounded");

    // The bounded reader at every offset near the end.
    CPacketReader r(d, own.size());
    for (size_t nOff = own.size() > 8 ? own.size() - 8 : 0; nOff <= own.size() + 2; ++nOff) {
        uint32_t v = 0;
        std::u16string str;
        Require(r.ReadU32(nOff, v) == (nOff + 4 <= own.size()), "bounded 32-bit read");
        Require(r.ReadText(nOff, 3, str) == (nOff + 6 <= own.size()), "bounded text read");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
    if (nSize < 2) return 0;
    const uint32_t dwMax = kMaxPackets[pData[0] % std::size(kMaxPackets)];
    const size_t nCuts = pData[1] % 16;
    size_t nHead = 2;
    std::vector<size_t> aCuts;
    for (size_t i = 0; i < nCuts && nHead < nSize; ++i) aCuts.push_back(pData[nHead++]);
    const std::span<const uint8_t> stream(pData + nHead, nSize - nHead);

    std::vector<Bytes> aPackets;
    CheckFraming(dwMax, stream, aCuts, aPackets);
    for (const Bytes& p : aPackets) CheckReaders(p);
    CheckReaders(stream);
    return 0;
}
