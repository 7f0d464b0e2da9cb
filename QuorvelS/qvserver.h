// CQVServer: the framework's concrete server, the one global server of the
// library (internal). It fills the server base's game slots (sessions are
// CQVSession, the client version is the game module's, logins are proven by
// login strings, the game-coin balance comes from the game database), reads
// the configuration section "QuorvelS", loads the game module, creates the
// rooms at start, ticks them at the room tick rate (RoomTickMs of the host
// values; 0: every poll) and hands them back at stop, and changes a closing
// user's game coins back into gold before the session closes. Room-state
// broadcasts go out at once, or with CoalesceRoomState once per changed room
// at the end of the poll.
//
// While no game module is loaded (before a start, after a failed load, after
// Stop) there are no rooms: GetRoomCount is 0, every version check and every
// request that needs a room is refused, Poll ticks nothing and Stop hands
// nothing back twice. A closing session's coins are changed back only while
// the game and its exchange rates are loaded (otherwise they stay coins).
//
// Ownership: the rooms (created by StartFrame, released by Stop) and the game
// module (loaded by StartFrame, released by Stop after every room object was
// handed back). Threading: the host's thread only (inside CommandProc).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "QuorvelS/loginguard.h"
#include "QuorvelS/quorvels.h"
#include "common/serverbase.h"

class CIniFile;
class CQVRoom;

// Section and keys of the frame configuration.
inline constexpr char16_t kFrameSection[] = u"QuorvelS";
inline constexpr char16_t kDefaultGameServerDll[] = u"..\\Binaries\\GS\\ExampleGame\\GameServer.dll";
constexpr int kDefaultCheckLoginKey = 1;
constexpr int kDefaultRoomCount = 21;
constexpr int kDefaultMaxObserver = 16;
constexpr int kDefaultPresentCoin = 0;
constexpr int kDefaultGoldToCoin = 100;
constexpr int kDefaultCoinToGold = 90;
constexpr int kDefaultScoreToTicket = 100;
// Login protection, both off by default: the seconds a login string's time
// value may lie from the server's clock, and the failed logins an account or
// a client address may have per minute.
constexpr int kDefaultLoginTimeWindow = 0;
constexpr int kDefaultLoginFailLimit = 0;
// Packets a connection may send per second before it is closed; 0: no cap.
constexpr int kDefaultMaxPacketsPerSecond = 0;
// Rooms are ticked once the host values (milliseconds) of the polls since the
// last tick add up to RoomTickMs; 0 ticks them at every poll. The default is
// the host's default poll interval, so a poll woken early by packets does not
// tick every room again.
constexpr int kDefaultRoomTickMs = 10;
constexpr int kMaxRoomTickMs = 1000;
// 1: room-state broadcasts are coalesced to one per changed room and lobby
// connection per poll, sent at the poll's end; 0 (default): one per change.
constexpr int kDefaultCoalesceRoomState = 0;
// Range of the exchange rates GoldToCoin and CoinToGold (gold for one coin);
// a value outside is brought into it at start. A coin is worth at least one
// gold, so that no exchange gives value away or turns negative, and at most
// a million: a seat of up to 2147 coins can still be bought within the
// 32-bit gold balance at the top rate (2147 million gold; 21 million coins
// at the default rate). The purchase still checks every price it computes.
constexpr int32_t kMinGoldToCoin = 1;
constexpr int32_t kMaxGoldToCoin = 1000000;
// Room indexes are signed 16-bit and 0x7FFF is never one; room 0 must exist.
constexpr int kMinRoomCount = 1;
constexpr int kMaxRoomCount = 32767;
// szName of the start record holds this many characters and a terminator.
constexpr size_t kWindowNameChars = 49;
// The banker's account name fills a 39-unit database field.
constexpr size_t kBankerNameChars = 38;
// A server identity fills a 39-unit database field.
constexpr size_t kServerIdChars = 38;
// Value handed to the base start's reserved argument.
constexpr int kStartReserved = 50;

class CQVServer : public CServerBase {
public:
    CQVServer();
    ~CQVServer() override;

    // Slot 4: ends every session in use (each user's coins are changed back
    // as at a logout), hands every room object back, releases the rooms and
    // the game module, then stops the base. Safe to call again.
    void Stop() override;
    // Slot 6: the base's poll, then, when a room tick is due, a tick for every
    // initialised room with the milliseconds since the previous one (the host
    // value itself with RoomTickMs 0); last the coalesced room states.
    void Poll(uint32_t dwHostValue) override;
    CSessionBase* CreateSession() override;
    // 1 when the version after the signal of the (at least 6-byte) packet is
    // room 0's game version; 0 without a room.
    int CheckGameVersion(const uint8_t* pPacket, std::u16string& strError) override;
    // The login-key check (database command 3, then the login string);
    // 1 at once when CheckLoginKey is 0. On refusal strError holds
    // "LoginKey读取失败" or "登录串验证未通过". Stores the key in userInfo.
    // With LoginTimeWindow set, a string whose time value lies further from
    // the clock is refused as wrong; with LoginFailLimit set, an account or
    // client address with that many wrong strings within a minute is refused
    // as wrong (before the database is asked) until its minute is over.
    int VerifyLogin(const uint8_t* pPacket, std::u16string& strError, UserInfo& userInfo) override;
    // The game-coin balance (database command 6 with PresentCoin); 0 with
    // "获取游戏用户信息失败" when the command fails (userInfo unchanged).
    int LoadGameUser(UserInfo& userInfo, std::u16string& strError) override;
    // Refunds the user's game coins, then the base's close. No refund when
    // another server took the user's lease: its session owns the coins.
    void CloseSession(uint16_t wSessionIndex) override;

    // Slot 12: the whole start of host command 103 on the host's start record
    // (in: hInstance, dwDriverParam; out: szName, hIcon, nRoomInfo). 1 when
    // the game module was loaded and the rooms created; 0 when the module
    // could not be loaded (the base has started all the same), or when the
    // base refused the start over a configuration file (nothing started).
    virtual int StartFrame(ServerStartInfo& startInfo);
    // Slot 13: a new room (owned by the caller).
    virtual CQVRoom* CreateRoom();

    // The base's metrics record with the rooms' gauges: rooms with a seated
    // user, users in player and in observer places.
    void FillMetrics(HostMetrics& record) const;

    // Sends the room's SC_ROOM_STATE to every lobby connection; with
    // CoalesceRoomState only marks the room, and the poll's end sends its
    // state then.
    void BroadcastRoomState(uint16_t wRoomIndex);
    int32_t GetRoomTickMs() const { return m_nRoomTickMs; }
    int32_t IsCoalesceRoomState() const { return m_bCoalesceRoomState; }

    int GetRoomCount() const { return m_nRoomCount; }
    // The room, or null for an index outside the rooms.
    CQVRoom* GetRoom(uint16_t wRoomIndex) const;
    int16_t GetMaxObserver() const { return m_nMaxObserver; }
    std::u16string GetGameName() const { return m_strGameName; }
    // The banker's account name: the game name cut to 38 characters (never
    // inside a surrogate pair), the same for every write.
    std::u16string GetBankerName() const;
    std::u16string GetServerDllPath() const { return m_strServerDllPath; }
    int32_t GetRoomMinCoin() const { return m_nRoomMinCoin; }
    void SetRoomMinCoin(int32_t nMinCoin) { m_nRoomMinCoin = nMinCoin; }
    int32_t GetGoldToCoin() const { return m_nGoldToCoin; }
    int32_t GetCoinToGold() const { return m_nCoinToGold; }
    int32_t GetPresentCoin() const { return m_nPresentCoin; }
    int32_t GetScoreToTicket() const { return m_nScoreToTicket; }
    int32_t IsCheckLoginKey() const { return m_bCheckLoginKey; }
    int32_t GetLoginTimeWindow() const { return m_nLoginTimeWindow; }
    int32_t GetLoginFailLimit() const { return m_nLoginFailLimit; }
    // 1 from a successful StartFrame to Stop.
    int32_t IsGameLoaded() const { return m_bGameLoaded; }

private:
    void ReadFrameConfiguration(CIniFile& ini);
    void ReadLoginProtection(CIniFile& ini);
    void ReadPacketRateLimit(CIniFile& ini);
    // Keys RoomTickMs and CoalesceRoomState.
    void ReadRoomUpdates(CIniFile& ini);
    // Ticks the rooms when the host values since the last tick reach RoomTickMs.
    void TickRooms(uint32_t dwHostValue);
    // SC_ROOM_STATE of the room to every lobby connection.
    void SendRoomState(uint16_t wRoomIndex);
    // Sends the state of every room marked since the last poll, in room order.
    void FlushRoomStates();
    // Keys ServerId and SessionLeaseSeconds; turns the session leases on.
    void ReadSessionLease(CIniFile& ini);
    // "<host name or listen address>:<port>", cut to kServerIdChars.
    std::u16string DefaultServerId() const;
    void CreateRooms(ServerStartInfo& startInfo);
    // Hands every room object back, releases the rooms and the module.
    void ReleaseGame();

    int32_t m_nPresentCoin = 0;
    int32_t m_nRoomMinCoin = 0;
    int32_t m_nGoldToCoin = 0;
    int32_t m_nCoinToGold = 0;
    int32_t m_nScoreToTicket = 0;
    std::vector<std::unique_ptr<CQVRoom>> m_apRoom;  // m_nRoomCount rooms while the game is loaded
    int32_t m_nRoomCount = 0;
    std::u16string m_strGameName;
    std::u16string m_strServerDllPath;
    int32_t m_bCheckLoginKey = 0;
    int32_t m_nLoginTimeWindow = 0;          // seconds, 0: any time value
    int32_t m_nLoginFailLimit = 0;           // per key and minute, 0: no limit
    CLoginFailureLimiter m_accountFailures;  // keyed by account name
    CLoginFailureLimiter m_addressFailures;  // keyed by client address
    int16_t m_nMaxObserver = 0;
    int32_t m_bGameLoaded = 0;
    int32_t m_nRoomTickMs = kDefaultRoomTickMs;
    uint32_t m_dwTickPending = 0;            // host values since the last room tick
    int32_t m_bCoalesceRoomState = 0;
    std::vector<uint8_t> m_abRoomStateChanged;  // by room index: marked this poll
    std::vector<uint16_t> m_awChangedRooms;     // the marked rooms
};
