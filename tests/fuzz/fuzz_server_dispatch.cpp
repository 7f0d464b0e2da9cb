// Fuzz target: the frame server's event and packet dispatch, socketless.
//
// Each input is a script run against a fresh CQVServer (the scripted network
// driver, the fake database with a few users, a manual tick and the example
// dice game, built as the frame tests build it). The first byte picks the
// database's abilities; every following step is one driver event, a tick, a
// console line or a database fault, and the server polls after each one, so
// the driver model below stays the real driver's: an index is connected only
// while free, and after the server closes it no event for it arrives.
//
// After every step the target checks what must hold whatever the clients
// send, and traps when something breaks:
//   - the connection table and the sessions agree: a bound connection belongs
//     to a session in use that holds it in one of its three roles, each role
//     index of a session maps back to it, and nothing is bound to an index
//     the driver no longer serves; nothing is sent to such an index;
//   - balances never go negative, and a logged-in session holds what the
//     database holds for its user;
//   - the database's total value (gold + GoldToCoin x coins + bankers + tax)
//     never changes: purchases, refunds and settlements only move value;
//   - the rooms' place tables and the sessions agree (one place per seated
//     session, in the room it names, with its current serial), the game's
//     ready answer names the place the frame gave the user and calls it an
//     observer exactly on observer places, and after a tick the game's
//     packets reach only ready game connections of seated users.
#include <dlfcn.h>
#include <stdlib.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "QuorvelS/loginstring.h"
#include "QuorvelS/qvroom.h"
#include "QuorvelS/qvserver.h"
#include "QuorvelS/qvsession.h"
#include "common/hostlog.h"
#include "common/packets.h"
#include "games/example/diceprotocol.h"
#include "platform/byteorder.h"
#include "projcommon/qvassert.h"
#include "projcommon/widestring.h"
#include "tests/support/fakedbc.h"
#include "tests/support/manualtick.h"
#include "tests/support/scriptednetdrv.h"
#include "tests/support/tempdir.h"

namespace {

constexpr int kConnections = 8;  // MaxConnection of the configuration below
constexpr int kRooms = 3;
constexpr uint64_t kLoginTime = 0x1D9A2B3C;
constexpr int32_t kLoginKey = 4711;

// Users of the fake database; the last name is unknown to it.
struct SeedUser {
    const char16_t* szName;
    int32_t nGold;
    int32_t nGameCoin;
    bool bHasGameUser;
};
constexpr SeedUser kUsers[] = {
    {u"amy", 100000, 0, true},   {u"bob", 5000, 150, true},
    {u"cat", 0, 0, true},        {u"dan", 2147480000, 2147483000, true},
    {u"eve", 20000, 0, false},
};
constexpr const char16_t* kUnknownUser = u"zed";
constexpr int kUserChoices = 6;

// Tick steps, in ms: none, a game tick, past the temporary and the role time-outs.
constexpr uint32_t kTickSteps[] = {0, 10, 1000, 30001, 180001, 0xFFFFFF00u};
constexpr const char16_t* kConsoleLines[] = {u"session", u"SESSION", u"help", u"", u"session x"};

// QV_FUZZ_TRACE=1: each step's sends (connection<signal), closes and total
// value on stderr, to see what an input reaches.
const bool s_bTrace = std::getenv("QV_FUZZ_TRACE") != nullptr;

[[noreturn]] void Fail(const char* szWhat, int nA = -1, int nB = -1) {
    std::fprintf(stderr, "invariant broken: %s (%d, %d)\n", szWhat, nA, nB);
    std::fflush(stderr);
    __builtin_trap();
}
void Require(bool b, const char* szWhat, int nA = -1, int nB = -1) {
    if (!b) Fail(szWhat, nA, nB);
}

// Reads the input front to back; past the end every read is 0.
class Script {
public:
    Script(const uint8_t* p, size_t n) : m_p(p), m_n(n) {}
    bool Done() const { return m_i >= m_n; }
    uint8_t Byte() { return m_i < m_n ? m_p[m_i++] : 0; }
    uint16_t U16() { return static_cast<uint16_t>(Byte() | (Byte() << 8)); }
    std::vector<uint8_t> Bytes(size_t n) {
        std::vector<uint8_t> a;
        while (n-- && !Done()) a.push_back(Byte());
        return a;
    }

private:
    const uint8_t* m_p;
    size_t m_n;
    size_t m_i = 0;
};

std::vector<uint8_t> Packet(uint16_t wSignal, std::vector<uint8_t> aBody = {}) {
    std::vector<uint8_t> a{static_cast<uint8_t>(wSignal), static_cast<uint8_t>(wSignal >> 8)};
    a.insert(a.end(), aBody.begin(), aBody.end());
    return a;
}
template <size_t N>
std::vector<uint8_t> Vec(const std::array<uint8_t, N>& a) {
    return {a.begin(), a.end()};
}

// The login strings the scripts send depend on no input byte: made once.
const std::u16string& GoodLoginString() {
    static const std::u16string s_str = MakeLoginString(kLoginKey, kLoginTime);
    return s_str;
}
const std::u16string& WrongKeyLoginString() {
    static const std::u16string s_str = MakeLoginString(kLoginKey + 1, kLoginTime);
    return s_str;
}

// The host's output callback while a run lives. Nobody reads the lines, but
// each is walked to its terminator, so a line handed over unterminated or
// from freed memory still shows under the address sanitizer; storing every
// line (as the frame tests' capture does) was a tenth of an input's time.
class LogSink {
public:
    LogSink() : m_pPrevious(GetHostOutputProc()) { SetHostOutputProc(&LogSink::Callback); }
    ~LogSink() { SetHostOutputProc(m_pPrevious); }
    LogSink(const LogSink&) = delete;
    LogSink& operator=(const LogSink&) = delete;

private:
    static void Callback(int32_t nCode, int32_t nReserved, const char16_t* szText) {
        (void)nCode;
        (void)nReserved;
        Require(szText != nullptr, "host output without text");
        s_nUnits += std::char_traits<char16_t>::length(szText);
    }
    static inline size_t s_nUnits = 0;
    HostOutputProc m_pPrevious;
};

class Run {
public:
    Run(const std::u16string& strConfigPath, bool bExchange) : m_netScope(m_drv), m_dbScope(m_db) {
        m_server.SetConfigPath(strConfigPath);
        for (const SeedUser& s : kUsers) {
            FakeDbcUser u;
            u.strUserName = s.szName;
            u.strExtra = u"x";
            u.nLoginKey = kLoginKey;
            u.nGold = s.nGold;
            u.bHasGameUser = s.bHasGameUser;
            u.nGameCoin = s.nGameCoin;
            m_db.AddUser(u);
        }
        m_db.SetExchangeSupported(bExchange);
        ServerStartInfo info{};
        if (m_server.StartFrame(info) != 1) Fail("the frame did not start");
        Require(m_server.GetRoomCount() == kRooms, "room count");
        m_nValue = m_db.TotalValue(m_server.GetGoldToCoin());
        EndStep(false, -1);
    }
    ~Run() {
        m_server.Stop();
        CheckValue("stop changed the total value");
        for (const SeedUser& s : kUsers) {
            const FakeDbcUser* u = m_db.FindUser(s.szName);
            Require(u && u->nGold >= 0 && u->nGameCoin >= 0, "negative balance after stop");
        }
    }

    void Step(Script& in) {
        const uint8_t op = in.Byte();
        const int c = in.Byte() % kConnections;
        if (s_bTrace) std::fprintf(stderr, "op %d on %d:", op % 16, c);
        switch (op % 16) {
            case 0:  // connect
                if (m_abOpen[c]) return;
                Net().QueueConnect(c);
                m_abOpen[c] = true;
                Poll(false, c);
                return;
            case 1:  // the client goes away
                if (!m_abOpen[c]) return;
                Net().QueueDisconnect(c);
                m_abOpen[c] = false;
                Poll(false, -1);
                return;
            case 2:  // time passes
                m_tick.Advance(kTickSteps[c % std::size(kTickSteps)]);
                Poll(true, -1);
                return;
            case 3:
                Net().QueueConnectionFull();
                Poll(false, -1);
                return;
            case 4: {  // an operator line, as HOSTCMD_CONSOLE hands it on
                const uint8_t k = in.Byte();
                if (k < std::size(kConsoleLines) * 40) {
                    m_server.OnConsoleCommand(kConsoleLines[k % std::size(kConsoleLines)]);
                } else {
                    std::u16string str;
                    for (uint8_t n = in.Byte() % 24; n && !in.Done(); --n) str.push_back(in.U16());
                    m_server.OnConsoleCommand(str.c_str());
                }
                EndStep(false, -1);
                return;
            }
            case 5:  // the database refuses one of the next calls
                m_db.FailNextCall(1 + c % 4);
                return;
            default:
                if (!m_abOpen[c]) return;
                Net().QueueReceive(c, MakePacket(in, op));
                Poll(false, -1);
                return;
        }
    }

private:
    CScriptedTcpServer& Net() { return m_drv.Server(); }

    // A packet for packet ops (6..15 and their aliases), biased to the
    // framework's own requests and the example game's.
    std::vector<uint8_t> MakePacket(Script& in, uint8_t op) {
        const uint8_t k = in.Byte();
        const uint8_t a = in.Byte();
        if (s_bTrace) std::fprintf(stderr, " kind %d arg %d:", k % 24, a);
        const int nUser = a % kUserChoices;
        const char16_t* szUser = nUser < static_cast<int>(std::size(kUsers)) ? kUsers[nUser].szName : kUnknownUser;
        (void)op;
        switch (k % 24) {
            case 0: return Vec(BuildVersionPacket(1));
            case 1: return Vec(BuildVersionPacket(static_cast<int8_t>(a)));
            case 2: return Vec(BuildLoginPacket(CS_LOBBY_CLIENT_LOGIN, szUser, GoodLoginString()));
            case 3: return Vec(BuildLoginPacket(CS_GAME_CLIENT_LOGIN, szUser, GoodLoginString()));
            case 4: return Vec(BuildLoginPacket(CS_LOBBY_CLIENT_LOGIN, szUser, WrongKeyLoginString()));
            case 5: return Vec(BuildLoginPacket(CS_GAME_CLIENT_LOGIN, szUser, u"00112233"));
            case 6: return Packet(CS_LOBBY_CLIENT_LOGIN, in.Bytes(a % 200));  // short or garbled
            case 7: return Packet(CS_LOBBY_CLIENT_LOGOUT);
            case 8: return Packet(CS_GAME_CLIENT_LOGOUT);
            case 9: return Packet(CS_CORE_KEEPALIVE);
            case 10: return Packet(CS_GET_ROOM_LIST);
            case 11: return Packet(CS_REFRESH_ROOM_LIST);
            case 12: return Packet(CS_GET_ROOM_USERS, {static_cast<uint8_t>(a % (kRooms + 1)), 0});
            case 13: return Packet(CS_BUY_GAME_COIN);
            case 14: return Packet(CS_JOIN_ROOM, {static_cast<uint8_t>(a % (kRooms + 1)), 0, static_cast<uint8_t>(a >> 6)});
            case 15: return Packet(CS_LEAVE_ROOM);
            case 16: return Packet(CS_GAME_CLIENT_READY);
            case 17: return Packet(DICE_CS_READY);
            case 18: return Packet(DICE_CS_CHAT, in.Bytes(a % 40));
            case 19: return Packet(DICE_CS_PING, in.Bytes(a % 40));
            case 20: return Packet(static_cast<uint16_t>(300 + a % 60), in.Bytes(in.Byte() % 16));
            case 21: return Packet(static_cast<uint16_t>(1000 + a % 120), in.Bytes(in.Byte() % 16));
            case 22: return Packet(CS_JOIN_ROOM, in.Bytes(a % 4));  // short
            default: {
                std::vector<uint8_t> p = in.Bytes(2 + a);
                if (p.size() < 2) p.resize(2);
                return p;
            }
        }
    }

    void Poll(bool bTickStep, int nConnected) {
        m_server.Poll(static_cast<uint32_t>(bTickStep ? 10 : 0));
        EndStep(bTickStep, nConnected);
    }

    void EndStep(bool bTickStep, int nConnected) {
        if (s_bTrace) {
            for (const ScriptedSend& s : Net().Sends()) std::fprintf(stderr, " %d<%u", s.nConnectionIndex, s.Signal());
            for (int c : Net().Closes()) std::fprintf(stderr, " close%d", c);
            std::fprintf(stderr, " | value %lld\n", static_cast<long long>(m_db.TotalValue(m_server.GetGoldToCoin())));
        }
        // Sends of this step went only to indexes the driver served before
        // it (or to the one it just connected).
        for (const ScriptedSend& s : Net().Sends())
            Require(s.nConnectionIndex == nConnected ||
                        (s.nConnectionIndex >= 0 && s.nConnectionIndex < kConnections && m_abServed[s.nConnectionIndex]),
                    "send to a connection the driver does not serve", s.nConnectionIndex);
        for (int c : Net().Closes())
            if (c >= 0 && c < kConnections) m_abOpen[c] = false;
        CheckConnections();
        CheckMoney();
        CheckRooms();
        CheckGameSends(bTickStep);
        m_abServed = m_abOpen;
        Net().ClearRecords();
        m_db.ClearCalls();
        m_asserts.Clear();
    }

    bool IsPoolSession(const CSessionBase* p) const {
        for (int i = 0; i < m_server.GetSessionCount(); ++i)
            if (m_server.GetSession(static_cast<uint16_t>(i)) == p) return true;
        return false;
    }

    void CheckConnections() {
        for (int c = 0; c < kConnections; ++c) {
            const CSessionBase* s = m_server.GetConnectionSession(static_cast<int16_t>(c));
            if (!s) continue;
            Require(IsPoolSession(s) && s->IsUsed(), "connection bound to a free session", c);
            Require(s->GetTempConnectionIndex() == c || s->GetLobbyConnectionIndex() == c ||
                        s->GetGameConnectionIndex() == c,
                    "connection bound to a session that does not hold it", c);
            Require(m_abOpen[c], "session bound to a connection the driver does not serve", c);
        }
        for (int i = 0; i < m_server.GetSessionCount(); ++i) {
            const CSessionBase* s = m_server.GetSession(static_cast<uint16_t>(i));
            const int16_t an[3] = {s->GetTempConnectionIndex(), s->GetLobbyConnectionIndex(),
                                   s->GetGameConnectionIndex()};
            for (int r = 0; r < 3; ++r) {
                if (an[r] < 0) continue;
                Require(s->IsUsed(), "free session holds a connection", i, an[r]);
                Require(m_server.GetConnectionSession(an[r]) == s, "session holds a connection the table gives elsewhere",
                        i, an[r]);
                for (int q = 0; q < r; ++q) Require(an[q] != an[r], "one connection in two roles", i, an[r]);
            }
        }
    }

    void CheckMoney() {
        for (int i = 0; i < m_server.GetSessionCount(); ++i) {
            CSessionBase* s = m_server.GetSession(static_cast<uint16_t>(i));
            if (!s->IsUsed() || !s->IsLoggedIn()) continue;
            const UserInfo& info = *s->GetUserInfo();
            const int32_t nGold = info.nGold, nCoin = info.nGameCoin;
            Require(nGold >= 0 && nCoin >= 0, "negative session balance", i);
            const FakeDbcUser* u = m_db.FindUser(s->GetUserName());
            Require(u != nullptr, "logged-in session of a user the database does not know", i);
            Require(u->nGold == nGold && u->nGameCoin == nCoin, "session and database balances differ", i);
        }
        for (const SeedUser& su : kUsers) {
            const FakeDbcUser* u = m_db.FindUser(su.szName);
            Require(u && u->nGold >= 0 && u->nGameCoin >= 0, "negative database balance");
        }
        CheckValue("total value changed");
    }

    // Value only moves. The one exception is a write whose compensation
    // failed too (two database faults in a row on a database without the
    // exchange command): the frame reports it as a failed assertion and the
    // books then hold what the database holds, so the total starts again.
    void CheckValue(const char* szWhat) {
        const int64_t nValue = m_db.TotalValue(m_server.GetGoldToCoin());
        if (nValue == m_nValue) return;
        bool bReported = false;
        for (const std::string& str : m_asserts.Reports()) bReported |= str.find("失败") != std::string::npos;
        Require(bReported, szWhat);
        m_nValue = nValue;
    }

    void CheckRooms() {
        for (int r = 0; r < m_server.GetRoomCount(); ++r) {
            const CQVRoom* pRoom = m_server.GetRoom(static_cast<uint16_t>(r));
            for (int p = 0; p < pRoom->GetMaxRoomUser(); ++p) {
                const RoomUser* ru = pRoom->GetRoomUser(static_cast<int16_t>(p));
                if (!ru->SessionPtr) continue;
                const CQVSession* s = ru->SessionPtr;
                Require(IsPoolSession(s) && s->IsUsed() && s->IsLoggedIn(), "place held by a session not in use", r, p);
                Require(s->GetRoomIndex() == r, "place held by a session of another room", r, p);
                Require(ru->SessionID == s->GetSessionID(), "place held for an earlier use of the session", r, p);
                Require(pRoom->FindRoomUserIndex(s) == p, "session holds two places", r, p);
            }
        }
        for (int i = 0; i < m_server.GetSessionCount(); ++i) {
            const auto* s = static_cast<const CQVSession*>(m_server.GetSession(static_cast<uint16_t>(i)));
            const int16_t nRoom = s->GetRoomIndex();
            if (nRoom == static_cast<int16_t>(Q7_INVALID_SHORT_INDEX)) continue;
            Require(s->IsUsed() && s->IsLoggedIn(), "a session not in use sits in a room", i, nRoom);
            const CQVRoom* pRoom = m_server.GetRoom(static_cast<uint16_t>(nRoom));
            Require(pRoom != nullptr, "session in a room that does not exist", i, nRoom);
            int nPlaces = 0;
            for (int p = 0; p < pRoom->GetMaxRoomUser(); ++p)
                if (pRoom->GetRoomUser(static_cast<int16_t>(p))->SessionPtr == s) ++nPlaces;
            Require(nPlaces == 1, "seated session without exactly one place", i, nPlaces);
        }
    }

    // The place and the room of the session served on c, or -1.
    int PlaceOf(int c, const CQVRoom** ppRoom, const CQVSession** ppSession) {
        const auto* s = static_cast<const CQVSession*>(m_server.GetConnectionSession(static_cast<int16_t>(c)));
        if (!s || s->GetRoomIndex() == static_cast<int16_t>(Q7_INVALID_SHORT_INDEX)) return -1;
        *ppRoom = m_server.GetRoom(static_cast<uint16_t>(s->GetRoomIndex()));
        *ppSession = s;
        for (int p = 0; p < (*ppRoom)->GetMaxRoomUser(); ++p)
            if ((*ppRoom)->GetRoomUser(static_cast<int16_t>(p))->SessionPtr == s) return p;
        return -1;
    }

    void CheckGameSends(bool bTickStep) {
        for (const ScriptedSend& send : Net().Sends()) {
            const uint16_t w = send.Signal();
            if (w < kFirstGameSignal) continue;
            const CQVRoom* pRoom = nullptr;
            const CQVSession* s = nullptr;
            const int nPlace = PlaceOf(send.nConnectionIndex, &pRoom, &s);
            if (w == DICE_SC_READY) {
                Require(send.aBytes.size() == 8, "ready answer size");
                Require(nPlace >= 0, "ready answer to a user without a place", send.nConnectionIndex);
                const int nSaid = plat::LoadLe16(&send.aBytes[2]);
                const int32_t nStatus = static_cast<int32_t>(plat::LoadLe32(&send.aBytes[4]));
                Require(nSaid == nPlace, "the game and the frame disagree on the place", nSaid, nPlace);
                Require((nStatus == DICE_READY_OBSERVER) == (nPlace >= pRoom->GetObserverBeginIndex()),
                        "the game and the frame disagree on observer places", nPlace, nStatus);
            }
            if (bTickStep) {
                Require(nPlace >= 0 && s->GetGameConnectionIndex() == send.nConnectionIndex,
                        "game packet to a connection that is no seated user's game connection", send.nConnectionIndex, w);
                Require(pRoom->GetRoomUser(static_cast<int16_t>(nPlace))->bGameClientConnected == 1,
                        "game packet to a game client that is not ready", send.nConnectionIndex, w);
            }
        }
    }

    CManualTick m_tick{1000};
    CScriptedNetDrv m_drv;
    CScopedNetDrv m_netScope;
    CFakeDbc m_db;
    CScopedDbcBinding m_dbScope;
    LogSink m_log;
    QvAssertCollector m_asserts;
    CQVServer m_server;
    int64_t m_nValue = 0;
    std::array<bool, kConnections> m_abOpen{};    // the driver serves the index
    std::array<bool, kConnections> m_abServed{};  // ... as the step began
};

constexpr size_t kMaxSteps = 400;

// The one-time part: a runtime tree in a temporary directory, the example
// game kept loaded (so that every start finds it mapped and the frame's own
// load is a reference count), fast game timing.
//
// Every path in the configuration is absolute, so the working directory stays
// the fuzzer's (relative corpus and artifact paths keep working). A first
// start completes the configuration files with every key and its comment;
// the comments are then dropped, and a second start must leave the files as
// they are. So every input's start reads short, complete files and writes
// nothing: reading the comments and saving added keys was most of the cost
// of a start, and a start is most of the cost of a short input.
struct Process {
    Process() {
        setenv("QV_EXAMPLE_COUNTDOWN_MS", "0", 1);
        setenv("QV_EXAMPLE_RESULT_MS", "0", 1);
        setenv("QV_EXAMPLE_SEED", "7", 1);
        hGame = dlopen(QV_EXAMPLE_GAME_PATH, RTLD_NOW | RTLD_LOCAL);
        if (!hGame) Fail("the example game does not load");
        const std::filesystem::path config = dir / "Server/QuorvelS.ini";
        const std::filesystem::path base = dir / "Binaries/ServerBaseConfig.ini";
        strConfigPath = Utf8ToWide(config.string());
        WriteFileBytes(config, "[ServerCore]\r\nMaxUser=3\r\nMaxConnection=" + std::to_string(kConnections) +
                                   "\r\nBaseConfigPath=" + base.string() + "\r\nDbcRoot1=" +
                                   (dir / "Binaries/dbc").string() + "\r\nDbcRoot2=" + (dir / "DB").string() +
                                   "\r\n[QuorvelS]\r\nGameServerDll=" QV_EXAMPLE_GAME_PATH "\r\nRoomCount=" +
                                   std::to_string(kRooms) + "\r\nMaxObserver=2\r\n");
        { Run warm(strConfigPath, false); }
        for (const std::filesystem::path& p : {config, base}) WriteFileBytes(p, WithoutComments(ReadFileBytes(p)));
        const std::string strConfig = ReadFileBytes(config), strBase = ReadFileBytes(base);
        { Run again(strConfigPath, false); }
        Require(ReadFileBytes(config) == strConfig && ReadFileBytes(base) == strBase,
                "a start still completes the configuration files");
        aKept = {Stamp(config), Stamp(base)};
    }
    // Every input must start from the same files: one that a run rewrote
    // (even with the same bytes) or removed traps before the next input, as
    // its start could then differ. Two stats, no read.
    void CheckKeptFiles() const {
        const std::filesystem::path config = dir / "Server/QuorvelS.ini";
        const std::filesystem::path base = dir / "Binaries/ServerBaseConfig.ini";
        Require(Stamp(config) == aKept[0] && Stamp(base) == aKept[1], "a run changed the kept configuration files");
    }
    struct FileStamp {
        std::uintmax_t nSize = 0;
        std::filesystem::file_time_type time{};
        bool operator==(const FileStamp&) const = default;
    };
    static FileStamp Stamp(const std::filesystem::path& p) {
        std::error_code ecSize, ecTime;
        FileStamp stamp{std::filesystem::file_size(p, ecSize), std::filesystem::last_write_time(p, ecTime)};
        Require(!ecSize && !ecTime, "a kept configuration file is gone");
        return stamp;
    }
    // Each line cut before its ';' comment and its white space before that
    // (no value of the files above holds a ';').
    static std::string WithoutComments(const std::string& strText) {
        std::string strOut;
        size_t nPos = 0;
        while (nPos < strText.size()) {
            size_t nEnd = strText.find("\r\n", nPos);
            nEnd = nEnd == std::string::npos ? strText.size() : nEnd;
            std::string strLine = strText.substr(nPos, std::min(nEnd, strText.find(';', nPos)) - nPos);
            while (!strLine.empty() && (strLine.back() == ' ' || strLine.back() == '\t')) strLine.pop_back();
            strOut += strLine + "\r\n";
            nPos = nEnd + 2;
        }
        return strOut;
    }
    CTempDir dir;
    std::u16string strConfigPath;
    std::array<FileStamp, 2> aKept{};
    void* hGame = nullptr;  // kept until the process ends, so that leak reports name the game's code
};


}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
    static Process s_process;
    s_process.CheckKeptFiles();
    Script in(pData, nSize);
    const uint8_t nFlags = in.Byte();
    Run run(s_process.strConfigPath, (nFlags & 1) != 0);
    for (size_t n = 0; n < kMaxSteps && !in.Done(); ++n) run.Step(in);
    return 0;
}
