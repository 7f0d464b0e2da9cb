// ClientSession: one user's lobby and game connections and the request/reply
// conversations of the framework (connect, login, room list, buy coins,
// join/leave, game login, version check, game-client ready). Every reply
// waits for the success or failure message that carries the request's signal;
// whatever else arrives meanwhile (room-state broadcasts, user records, game
// messages) is kept in the connection's inbox for the caller.
// One thread at a time.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "client/qvclient/connection.h"
#include "client/qvclient/messages.h"

namespace qvc {

struct Reply {
    bool bOk = false;             // SC_CORE_RESULT (or the notice of a purchase) arrived
    bool bAnswered = false;       // any answer arrived before the time-out
    std::u16string strText;       // failure reason or notice text
};

class ClientSession {
public:
    explicit ClientSession(std::string host, uint16_t port, int nTimeoutMs = 5000)
        : m_strHost(std::move(host)), m_wPort(port), m_nTimeoutMs(nTimeoutMs) {}

    Connection& Lobby() { return m_lobby; }
    Connection& Game() { return m_game; }
    std::deque<std::vector<uint8_t>>& LobbyInbox() { return m_lobbyInbox; }
    std::deque<std::vector<uint8_t>>& GameInbox() { return m_gameInbox; }
    const UserRecord& User() const { return m_user; }
    const std::string& LastError() const { return m_strError; }

    // Connects and waits for the server's accept reply (request signal 1).
    Reply ConnectLobby();
    Reply ConnectGame();
    Reply LoginLobby(std::u16string_view name, std::u16string_view loginString);
    Reply LoginGame(std::u16string_view name, std::u16string_view loginString);
    Reply CheckVersion(Connection& c, int32_t nVersion);
    // Room list: fills the states and coin parameters.
    Reply GetRoomList(std::vector<RoomStateMsg>& aRooms, CoinParamsMsg& coin);
    Reply BuyCoins();
    Reply JoinRoom(uint16_t wRoomIndex, uint8_t nMode);
    // Game client ready: sends 308 on the game connection, waits for 254 on the lobby.
    bool GameReady();
    void LeaveRoom();
    void Logout();

    // Sends a request and waits for its result/error (and, with wNoticeOk,
    // a notice counts as success).
    Reply Request(Connection& c, std::deque<std::vector<uint8_t>>& inbox, const std::vector<uint8_t>& packet,
                  uint16_t wRequest, bool bNoticeOk = false);
    // Keeps User() current: call it for packets read outside this class.
    void Note(const std::vector<uint8_t>& p);
    // Waits for the next packet of a signal on a connection (inbox first).
    bool WaitFor(Connection& c, std::deque<std::vector<uint8_t>>& inbox, uint16_t wSignal,
                 std::vector<uint8_t>& packet, int nTimeoutMs);

private:
    Reply Accept(Connection& c, std::deque<std::vector<uint8_t>>& inbox);
    Reply Await(Connection& c, std::deque<std::vector<uint8_t>>& inbox, uint16_t wRequest, bool bNoticeOk);

    std::string m_strHost;
    uint16_t m_wPort;
    int m_nTimeoutMs;
    Connection m_lobby;
    Connection m_game;
    std::deque<std::vector<uint8_t>> m_lobbyInbox;
    std::deque<std::vector<uint8_t>> m_gameInbox;
    UserRecord m_user;
    std::string m_strError;
};

}  // namespace qvc
