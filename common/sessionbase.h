// CSessionBase: one user's presence on the server (internal).
//
// A session holds up to three connections of one user — the temporary
// connection a client arrives on, the lobby connection and the game connection
// after the respective login — together with the user record, the activity
// ticks behind the time-outs, the client version check and the first stage of
// packet handling. The server creates a fixed pool of sessions at start and
// reuses each for one user after another; derived sessions (the frame
// session) fill the pure slots and see every packet the base does not consume.
//
// Time-outs: a temporary connection is closed when more than 30000 ms passed
// since Open; a lobby or game connection when more than 180000 ms passed
// since its last packet or its assignment. Ages are unsigned 32-bit tick
// differences, so they survive the tick count's wrap. A session in use
// keeps its server's bookkeeping (time-out queues, free and online counts,
// user index) informed of every change of its connections, ticks, use and
// user record; the server's sweep then checks only the sessions that are due.
//
// Ownership: the session pool of CServerBase owns every session; m_pServer is
// borrowed. Threading: the host's thread only; nothing locks.
//
// Naming: m_ member, p pointer, b flag (32-bit, 0/1), n signed count or index,
// w 16-bit unsigned, dw 32-bit unsigned, sz fixed text, str wide string.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "common/sessiontimeouts.h"
#include "common/userinfo.h"
#include "projcommon/streambuf.h"

class CServerBase;

// Size of each session's scratch buffer.
constexpr int kSessionTempBufSize = 1024;

class CSessionBase {
public:
    CSessionBase();
    virtual ~CSessionBase();
    CSessionBase(const CSessionBase&) = delete;
    CSessionBase& operator=(const CSessionBase&) = delete;

    // Slot 1: every packet of a lobby or game connection that ProcessPacket
    // does not consume, and version packets too short to check.
    virtual void OnRecvPacket(const uint8_t* pPacket, uint32_t nLength, int16_t nConnectionIndex,
                              uint16_t wSignal) = 0;
    // Slot 2: at the end of Open.
    virtual void OnOpen() = 0;
    // Slot 3: from Close, before the fields are reset.
    virtual void OnClose() = 0;
    // Slot 4: by the login, after the user record was stored and sent.
    virtual void OnLogin() = 0;
    // Slots 5-7: store a connection index (-1: none). A refused session
    // takes no connection (answers 0 and keeps what it has) but accepts -1;
    // otherwise 1. The lobby and game variants also restart their
    // connection's 180 s limit.
    virtual int SetTempConnectionIndex(int16_t nConnectionIndex);
    virtual int SetLobbyConnectionIndex(int16_t nConnectionIndex);
    virtual int SetGameConnectionIndex(int16_t nConnectionIndex);

    // The pool index, set once at start. Q7_INVALID_SHORT_INDEX is reported
    // (and stored all the same).
    void SetSessionIndex(uint16_t wSessionIndex);
    uint16_t GetSessionIndex() const { return m_wSessionIndex; }

    // Starts a use for a new connection (as its temporary connection). A
    // refused session (server full) ignores every packet but logins and can
    // take no role; it ends by the temporary time-out.
    void Open(int32_t nSerial, CServerBase* pServer, int16_t nConnectionIndex, int bRefused);
    int IsUsed() const { return m_bUsed; }
    int IsRefused() const { return m_bRefused; }
    // 1 while the session holds a user record from a successful login (its
    // user name is set; Close empties it). A refused session never does.
    int IsLoggedIn() const { return m_UserInfo.szUserName[0] != u'\0'; }
    // 1 while any of the three connection indexes is set.
    int HasConnection() const {
        return m_nTempConnectionIndex >= 0 || m_nLobbyConnectionIndex >= 0 ||
               m_nGameConnectionIndex >= 0;
    }
    int IsCloseRequested() const { return m_bCloseRequested; }
    // Serial of the current use (1, 2, ... per accepted connection), 0 while free.
    int32_t GetSessionID() const { return m_nSessionID; }

    // First-stage handling of a packet from one of this session's connections
    // (all but well-formed logins): activity tick, keep-alive, version check,
    // the "not logged in" refusal, logout requests; the rest goes to OnRecvPacket.
    void ProcessPacket(const uint8_t* pPacket, uint32_t nLength, int16_t nConnectionIndex,
                       uint16_t wSignal);
    // Asks the server's CheckGameVersion. On success records the check for the
    // lobby or game connection (not for the temporary one); on failure
    // strError is "客户端版本不正确". 1/0.
    int CheckVersion(const uint8_t* pPacket, int16_t nConnectionIndex, uint16_t wSignal,
                     std::u16string& strError);
    // 1 when the whole session is to be closed (close requested, or no
    // connection left). Closes the connections that timed out on the way
    // (and still answers 0 then; the next poll closes the session).
    int CheckTimeout();
    // Ends the current use; a free session is left alone.
    void Close();

    int16_t GetTempConnectionIndex() const { return m_nTempConnectionIndex; }
    int16_t GetLobbyConnectionIndex() const { return m_nLobbyConnectionIndex; }
    int16_t GetGameConnectionIndex() const { return m_nGameConnectionIndex; }
    uint32_t GetTempConnectTick() const { return m_dwTempConnectTick; }
    uint32_t GetLobbyRecvTick() const { return m_dwLobbyRecvTick; }
    uint32_t GetGameRecvTick() const { return m_dwGameRecvTick; }
    int IsLobbyVersionChecked() const { return m_bLobbyVersionChecked; }
    int IsGameVersionChecked() const { return m_bGameVersionChecked; }

    // The owning server (reports "m_pServer" while there is none).
    CServerBase* GetServer() const;

    UserInfo* GetUserInfo() { return &m_UserInfo; }
    const UserInfo* GetUserInfo() const { return &m_UserInfo; }
    // Stores the record (and tells the server's user index of the name).
    void SetUserInfo(const UserInfo& info);
    std::u16string GetGUID() const;
    std::u16string GetUserName() const;
    // Unchecked balance changes of the stored record.
    void AddGameCoin(int32_t nValue) { m_UserInfo.nGameCoin += nValue; }
    void AddGold(int32_t nValue) { m_UserInfo.nGold += nValue; }

    // Sends SC_CORE_USER_INFO (the record without its login key) on the
    // connection; a negative index sends nothing. The send's result.
    int SendUserInfo(int16_t nConnectionIndex);

protected:
    CServerBase* m_pServer = nullptr;
    int32_t m_bLobbyVersionChecked = 0;
    int32_t m_bGameVersionChecked = 0;
    UserInfo m_UserInfo{};
    CStreamBuf m_TempBuf{kSessionTempBufSize};  // scratch space for derived sessions
    int32_t m_bUsed = 0;
    int32_t m_bRefused = 0;
    uint16_t m_wSessionIndex = Q7_INVALID_SHORT_INDEX;
    int32_t m_nSessionID = 0;
    uint32_t m_dwTempConnectTick = 0;
    uint32_t m_dwLobbyRecvTick = 0;
    uint32_t m_dwGameRecvTick = 0;
    int16_t m_nTempConnectionIndex = -1;
    int16_t m_nLobbyConnectionIndex = -1;
    int16_t m_nGameConnectionIndex = -1;
    int32_t m_bCloseRequested = 0;

private:
    // Tells the server's time-out queues that the connection of that kind is
    // now nConnectionIndex (-1: none) counting from dwTick, and marks the
    // session due when it has no connection left. Nothing while not in use.
    void NoteConnection(CSessionTimeouts::Kind eKind, int16_t nConnectionIndex, uint32_t dwTick);
    // Closes one timed-out connection of the session and forgets it.
    void CloseTimedOut(int16_t& nConnectionIndex, CSessionTimeouts::Kind eKind,
                       const char16_t* szFormat);
};
