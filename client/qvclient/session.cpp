#include "client/qvclient/session.h"

namespace qvc {

void ClientSession::Note(const std::vector<uint8_t>& p) {
    UserRecord u;
    if (ParseUserInfo(p, u)) m_user = u;
}

Reply ClientSession::Await(Connection& c, std::deque<std::vector<uint8_t>>& inbox, uint16_t wRequest,
                           bool bNoticeOk) {
    Reply r;
    int64_t deadline = MonotonicMs() + m_nTimeoutMs;
    std::vector<uint8_t> p;
    for (;;) {
        int64_t left = deadline - MonotonicMs();
        if (left < 0) {
            m_strError = "no answer within the time-out";
            return r;
        }
        auto rr = c.Read(p, static_cast<int>(left));
        if (rr != Connection::ReadResult::Packet) {
            m_strError = rr == Connection::ReadResult::Timeout ? "no answer within the time-out"
                                                               : "the server closed the connection";
            return r;
        }
        Note(p);
        uint16_t req = 0;
        std::u16string text;
        if (ParseResult(p, req) && req == wRequest) {
            r.bOk = r.bAnswered = true;
            return r;
        }
        if (ParseError(p, req, text) && req == wRequest) {
            r.bAnswered = true;
            r.strText = text;
            return r;
        }
        if (bNoticeOk && ParseNotice(p, text)) {
            r.bOk = r.bAnswered = true;
            r.strText = text;
            return r;
        }
        inbox.push_back(p);
    }
}

Reply ClientSession::Request(Connection& c, std::deque<std::vector<uint8_t>>& inbox,
                             const std::vector<uint8_t>& packet, uint16_t wRequest, bool bNoticeOk) {
    if (!c.Send(packet)) {
        m_strError = c.LastError();
        return {};
    }
    return Await(c, inbox, wRequest, bNoticeOk);
}

bool ClientSession::WaitFor(Connection& c, std::deque<std::vector<uint8_t>>& inbox, uint16_t wSignal,
                            std::vector<uint8_t>& packet, int nTimeoutMs) {
    for (auto it = inbox.begin(); it != inbox.end(); ++it) {
        if (SignalOf(*it) == wSignal) {
            packet = std::move(*it);
            inbox.erase(it);
            return true;
        }
    }
    int64_t deadline = MonotonicMs() + nTimeoutMs;
    for (;;) {
        int64_t left = deadline - MonotonicMs();
        if (left < 0) return false;
        if (c.Read(packet, static_cast<int>(left)) != Connection::ReadResult::Packet) return false;
        Note(packet);
        if (SignalOf(packet) == wSignal) return true;
        inbox.push_back(packet);
    }
}

Reply ClientSession::Accept(Connection& c, std::deque<std::vector<uint8_t>>& inbox) {
    inbox.clear();
    if (!c.Connect(m_strHost, m_wPort, m_nTimeoutMs)) {
        m_strError = c.LastError();
        return {};
    }
    return Await(c, inbox, kConnectRequestSignal, false);
}

Reply ClientSession::ConnectLobby() { return Accept(m_lobby, m_lobbyInbox); }
Reply ClientSession::ConnectGame() {
    // Every fresh connection holds a session until its login moves it, so on
    // a full server the game connection may be accepted with the full notice;
    // it still serves the login into the user's own session, which is all a
    // game connection is for.
    Reply r = Accept(m_game, m_gameInbox);
    if (!r.bOk && r.bAnswered && r.strText == u"服务器已达到最大人数" && m_game.IsOpen()) r.bOk = true;
    return r;
}

Reply ClientSession::LoginLobby(std::u16string_view name, std::u16string_view loginString) {
    return Request(m_lobby, m_lobbyInbox, MakeLogin(CS_LOBBY_CLIENT_LOGIN, name, loginString), CS_LOBBY_CLIENT_LOGIN);
}

Reply ClientSession::LoginGame(std::u16string_view name, std::u16string_view loginString) {
    return Request(m_game, m_gameInbox, MakeLogin(CS_GAME_CLIENT_LOGIN, name, loginString), CS_GAME_CLIENT_LOGIN);
}

Reply ClientSession::CheckVersion(Connection& c, int32_t nVersion) {
    return Request(c, &c == &m_game ? m_gameInbox : m_lobbyInbox, MakeVersion(nVersion), CS_CORE_VERSION);
}

Reply ClientSession::GetRoomList(std::vector<RoomStateMsg>& aRooms, CoinParamsMsg& coin) {
    m_lobbyInbox.clear();
    Reply r = Request(m_lobby, m_lobbyInbox, MakeSignalOnly(CS_GET_ROOM_LIST), CS_GET_ROOM_LIST);
    aRooms.clear();
    for (auto& p : m_lobbyInbox) {
        RoomStateMsg st;
        if (ParseRoomState(p, st)) aRooms.push_back(st);
        ParseCoinParams(p, coin);
    }
    m_lobbyInbox.clear();
    return r;
}

Reply ClientSession::BuyCoins() {
    return Request(m_lobby, m_lobbyInbox, MakeSignalOnly(CS_BUY_GAME_COIN), CS_BUY_GAME_COIN, true);
}

Reply ClientSession::JoinRoom(uint16_t wRoomIndex, uint8_t nMode) {
    return Request(m_lobby, m_lobbyInbox, MakeJoinRoom(wRoomIndex, nMode), CS_JOIN_ROOM);
}

bool ClientSession::GameReady() {
    if (!m_game.Send(MakeSignalOnly(CS_GAME_CLIENT_READY))) return false;
    std::vector<uint8_t> p;
    return WaitFor(m_lobby, m_lobbyInbox, SC_GAME_CLIENT_READY, p, m_nTimeoutMs);
}

void ClientSession::LeaveRoom() { m_lobby.Send(MakeSignalOnly(CS_LEAVE_ROOM)); }

void ClientSession::Logout() {
    if (m_lobby.IsOpen()) m_lobby.Send(MakeSignalOnly(CS_LOBBY_CLIENT_LOGOUT));
}

}  // namespace qvc
