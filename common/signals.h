// The framework's wire signals (public: the server, the client library and
// every client speak them). A packet starts with its 16-bit signal; the
// framework's own lie below 1000, every other signal is a game message.
// Body layouts are documented in docs/protocol.md.
#pragma once

#include <cstdint>

enum : uint16_t {
    SIGNAL_CONNECT_REPLY = 1,  // not a message: the request signal of the connection-accept reply

    SC_CORE_RESULT = 200,
    SC_CORE_ERROR = 201,
    SC_CORE_USER_INFO = 250,
    SC_ROOM_USER_INFO = 251,
    SC_ROOM_COUNT = 252,
    SC_ROOM_STATE = 253,
    SC_GAME_CLIENT_READY = 254,
    SC_CORE_NOTICE = 255,
    SC_COIN_PARAMS = 256,

    CS_CORE_VERSION = 300,
    CS_CORE_KEEPALIVE = 301,
    CS_LOBBY_CLIENT_LOGIN = 302,
    CS_LOBBY_CLIENT_LOGOUT = 303,
    CS_GAME_CLIENT_LOGIN = 304,
    CS_GAME_CLIENT_LOGOUT = 305,
    CS_JOIN_ROOM = 306,
    CS_LEAVE_ROOM = 307,
    CS_GAME_CLIENT_READY = 308,
    CS_GET_ROOM_LIST = 350,
    CS_REFRESH_ROOM_LIST = 351,
    CS_GET_ROOM_USERS = 352,
    CS_BUY_GAME_COIN = 354,
};
