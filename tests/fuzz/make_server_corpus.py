#!/usr/bin/env python3
"""Writes the hand-made seeds of fuzz_server_dispatch into a directory.

Each seed is a script in the target's input format: one flags byte (bit 0:
the database offers the exchange command), then steps of an op byte and a
connection byte, packet steps followed by a kind and an argument byte. The
seeds walk the paths random bytes rarely find: logins on both connections,
takeover of a connection by another user, the version check, the room list,
buying, joining as player and observer, ready, a whole dice round, chat,
ping, time-outs, a full server, database faults and console lines. The
fuzzer grows the corpus from them; `-merge=1` keeps it small.

usage: make_server_corpus.py DIR
"""
import os
import sys

CONNECT, DISCONNECT, TICK, FULL, CONSOLE, DBFAIL, PACKET = 0, 1, 2, 3, 4, 5, 6
# Packet kinds (see MakePacket in fuzz_server_dispatch.cpp).
(VERSION_OK, VERSION_ANY, LOBBY_LOGIN, GAME_LOGIN, LOBBY_LOGIN_BAD, GAME_LOGIN_BAD, LOGIN_RAW,
 LOBBY_LOGOUT, GAME_LOGOUT, KEEPALIVE, ROOM_LIST, REFRESH, ROOM_USERS, BUY, JOIN, LEAVE,
 GAME_READY, DICE_READY, DICE_CHAT, DICE_PING, FRAME_RAW, GAME_RAW, JOIN_SHORT, RAW) = range(24)
AMY, BOB, CAT, DAN, EVE, ZED = range(6)
TICK_10MS, TICK_1S, TICK_TEMP_TIMEOUT, TICK_ROLE_TIMEOUT = 1, 2, 3, 4


def pkt(c, kind, arg=0, extra=b""):
    return bytes([PACKET, c, kind, arg]) + extra


def tick(step=TICK_10MS, n=1):
    return bytes([TICK, step]) * n


def seat(lobby, user, room=0, observer=False, buy=True):
    """Logs the user in on lobby and lobby+1, checks the version, joins, readies."""
    s = bytes([CONNECT, lobby]) + pkt(lobby, LOBBY_LOGIN, user)
    s += bytes([CONNECT, lobby + 1]) + pkt(lobby + 1, GAME_LOGIN, user) + pkt(lobby + 1, VERSION_OK)
    s += pkt(lobby, ROOM_LIST)
    if buy:
        s += pkt(lobby, BUY)
    s += pkt(lobby, JOIN, room | (0x40 if observer else 0)) + pkt(lobby + 1, GAME_READY)
    return s


SEEDS = {
    "login_lobby": bytes([1, CONNECT, 0]) + pkt(0, LOBBY_LOGIN, AMY) + pkt(0, ROOM_LIST) + pkt(0, LOBBY_LOGOUT),
    "login_refused": bytes([1, CONNECT, 0]) + pkt(0, LOBBY_LOGIN_BAD, AMY) + pkt(0, LOBBY_LOGIN, ZED)
    + pkt(0, LOGIN_RAW, 120, bytes(120)) + pkt(0, GAME_LOGIN_BAD, BOB) + pkt(0, ROOM_LIST),
    "version": bytes([0, CONNECT, 0]) + pkt(0, VERSION_OK) + pkt(0, VERSION_ANY, 5)
    + pkt(0, LOBBY_LOGIN, BOB) + pkt(0, VERSION_OK) + pkt(0, VERSION_ANY, 2),
    "takeover_other_user": bytes([1]) + seat(0, AMY) + pkt(0, LOBBY_LOGIN, BOB) + pkt(1, GAME_LOGIN, BOB)
    + tick(),
    "takeover_same_user": bytes([1]) + seat(0, AMY) + bytes([CONNECT, 2]) + pkt(2, LOBBY_LOGIN, AMY)
    + bytes([CONNECT, 3]) + pkt(3, GAME_LOGIN, AMY) + pkt(3, VERSION_OK) + pkt(2, JOIN, 1) + tick(),
    "buy": bytes([1, CONNECT, 0]) + pkt(0, LOBBY_LOGIN, AMY) + pkt(0, BUY) + pkt(0, BUY)
    + bytes([CONNECT, 1]) + pkt(1, LOBBY_LOGIN, CAT) + pkt(1, BUY) + bytes([CONNECT, 2])
    + pkt(2, LOBBY_LOGIN, DAN) + pkt(2, BUY) + pkt(2, LOBBY_LOGOUT) + tick(),
    "buy_legacy_db": bytes([0, CONNECT, 0]) + pkt(0, LOBBY_LOGIN, EVE) + pkt(0, BUY) + pkt(0, JOIN, 2)
    + pkt(0, LEAVE) + pkt(0, LOBBY_LOGOUT) + tick(),
    "buy_db_fault": bytes([0, CONNECT, 0]) + pkt(0, LOBBY_LOGIN, AMY) + bytes([DBFAIL, 0]) + pkt(0, BUY)
    + bytes([DBFAIL, 1]) + pkt(0, BUY) + pkt(0, LOBBY_LOGOUT),
    "join_observer": bytes([1]) + seat(0, BOB, 1, observer=True, buy=False) + pkt(1, DICE_READY)
    + pkt(1, DICE_CHAT, 5, b"hello") + pkt(0, ROOM_USERS, 1) + pkt(0, LEAVE),
    "dice_round": bytes([1]) + seat(0, AMY) + seat(2, BOB) + pkt(1, DICE_READY) + pkt(3, DICE_READY)
    + tick(n=6) + pkt(1, DICE_PING, 4, b"ping") + pkt(3, DICE_CHAT, 2, b"gg") + tick(n=3)
    + pkt(0, LEAVE) + tick(n=2),
    "dice_round_legacy_db": bytes([0]) + seat(0, AMY) + seat(2, BOB) + pkt(1, DICE_READY)
    + pkt(3, DICE_READY) + tick(n=2) + bytes([DBFAIL, 1]) + tick(n=4) + pkt(2, LOBBY_LOGOUT) + tick(n=2),
    "dice_leave_midround": bytes([1]) + seat(0, AMY) + seat(2, BOB) + pkt(1, DICE_READY)
    + pkt(3, DICE_READY) + tick() + bytes([DISCONNECT, 3]) + tick(n=4) + bytes([DISCONNECT, 0]) + tick(),
    "timeouts": bytes([1, CONNECT, 0, CONNECT, 1]) + pkt(1, LOBBY_LOGIN, CAT) + tick(TICK_TEMP_TIMEOUT)
    + pkt(1, KEEPALIVE) + tick(TICK_ROLE_TIMEOUT) + tick(),
    "server_full": bytes([1]) + b"".join(bytes([CONNECT, c]) + pkt(c, LOBBY_LOGIN, u) for c, u in
                                         enumerate([AMY, BOB, CAT, DAN, EVE]))
    + bytes([FULL, 0]) + pkt(4, LOBBY_LOGIN, AMY) + tick(TICK_TEMP_TIMEOUT) + tick(),
    "console": bytes([1, CONNECT, 0]) + pkt(0, LOBBY_LOGIN, AMY) + bytes([CONSOLE, 0, 0, CONSOLE, 0, 1])
    + bytes([CONSOLE, 0, 2, CONSOLE, 0, 250, 4]) + "sess".encode("utf-16-le"),
    "game_raw": bytes([1]) + seat(0, AMY) + pkt(1, GAME_RAW, 3, bytes([8]) + bytes(8))
    + pkt(1, FRAME_RAW, 6, bytes([3, 1, 0, 9])) + pkt(0, JOIN_SHORT, 3, b"\x00\x00\x01") + pkt(1, GAME_LOGOUT),
}


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    os.makedirs(sys.argv[1], exist_ok=True)
    for name, data in SEEDS.items():
        with open(os.path.join(sys.argv[1], "seed_" + name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main()
