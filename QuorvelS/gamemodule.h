// The game-module interface: the one header a game module includes (public,
// installed with the framework so that a studio can build a module out of
// tree). It depends on nothing but the C++ standard integer headers.
//
// A game module is a shared library exporting two plain C functions,
// CreateRoomInstance and DestroyRoomInstance. For every room the frame asks
// it for one room object (IRoomInstance) and lends it the room's command
// channel (IRoomCommand); the frame then feeds the room object the users'
// packets and the numbered frame commands below, and the game answers through
// the channel: packets to seated users, room commands 500 and 501.
//
// Calling order per room: CreateRoomInstance; FRAME_CMD_ROOM_CONFIG;
// FRAME_CMD_MIN_COIN; then any number of FRAME_CMD_TICK, FRAME_CMD_USER_JOIN,
// FRAME_CMD_CLIENT_READY, OnClientData and FRAME_CMD_USER_LEAVE; then
// DestroyRoomInstance. After every room was handed back the module is
// unloaded.
//
// Threading: every call, in both directions, happens on the one thread that
// drives the framework; nothing is locked. The game may call back into its
// IRoomCommand from inside any call the frame makes into the room object.
//
// Ownership: the room object belongs to the module (the frame never deletes
// it, it hands it to DestroyRoomInstance); the command channel belongs to the
// frame and stays valid until DestroyRoomInstance returns. Data pointers
// passed in either direction are valid only for the duration of the call.
//
// Records are packed, little-endian, fixed-size; their layout is pinned below.
// Hungarian prefixes: n number, sz fixed text, p pointer, w 16-bit unsigned.
#pragma once

#include <cstddef>
#include <cstdint>

// Never a valid session, room or place index; marks "none" wherever such a
// 16-bit index is stored, and is the room user index of frame commands that
// concern the whole room. Other headers that define the same marker test and
// set QV_INVALID_SHORT_INDEX_DEFINED so that both may be included together.
#ifndef QV_INVALID_SHORT_INDEX_DEFINED
#define QV_INVALID_SHORT_INDEX_DEFINED
constexpr uint16_t Q7_INVALID_SHORT_INDEX = 0x7FFF;
#endif

// Frame commands: the nCommand argument of IRoomInstance::OnFrameCommand.
enum : int32_t {
    // The room tick: at the server's poll once the host values (milliseconds)
    // since the previous tick reach RoomTickMs (QuorvelS.ini, default 10; 0:
    // every poll). Room user index 0x7FFF; data: 32 bits (4 bytes), the
    // milliseconds since the previous tick (with RoomTickMs 0 the poll's host
    // value).
    FRAME_CMD_TICK = 101,
    // Once, right after CreateRoomInstance. Room user index 0x7FFF; data:
    // RoomConfig (16 bytes, in and out).
    FRAME_CMD_ROOM_CONFIG = 102,
    // Once, after FRAME_CMD_ROOM_CONFIG. Room user index 0x7FFF; data: signed
    // 32-bit, preset 0; the game writes the smallest game-coin balance a user
    // needs for a player seat (0: no minimum).
    FRAME_CMD_MIN_COIN = 104,
    // The user's game client reported ready. Room user index: the user's
    // seat; no data (null, length 0).
    FRAME_CMD_CLIENT_READY = 120,
    // A user asks to join and the seat given as room user index is offered.
    // Data: JoinRoomQuery (130 bytes, in and out); the game answers before it
    // returns and does not keep the record.
    FRAME_CMD_USER_JOIN = 121,
    // A seated user leaves; the seat still names the user during the call.
    // Room user index: the user's seat; no data (null, length 0).
    FRAME_CMD_USER_LEAVE = 122,
};

// Room commands: the nCommand argument of IRoomCommand::DoCommand.
enum : int32_t {
    // Data out: signed 32-bit (4 bytes), the room's index in the server.
    ROOM_CMD_GET_ROOM_INDEX = 500,
    // Data in: CoinSettlement (sizeof(CoinSettlement) bytes). DoCommand
    // returns 1 when the settlement was written whole, 0 when a database
    // write failed or the frame refused it with nothing written: the changes
    // do not add up to zero, a user's balance would leave 0..2147483647, the
    // banker's change times GoldToCoin does not fit 32 bits, the count is
    // beyond the places, or a free place has a non-zero change.
    ROOM_CMD_SETTLE_COIN = 501,
};

// Sizes of the fixed text fields, in UTF-16 units, terminator included.
constexpr size_t kJoinRefuseTextUnits = 50;
constexpr size_t kJoinExtraUnits = 11;

#pragma pack(push, 1)

// FRAME_CMD_ROOM_CONFIG: the frame offers, the game decides the seats.
struct RoomConfig {
    int32_t nRoomInfo;            // in: 20; out: reported to the host (the last room created decides it)
    int16_t nRoomIndex;           // in: the room's index
    int16_t nMaxRoomPlayer;       // out, must be written: player seats 0..n-1; greater than 0
    int16_t nMaxRoomObserver;     // in: the configured observer seats; out: observer seats, not negative
    int16_t nObserverBeginIndex;  // out, must be written: first observer seat, not below nMaxRoomPlayer
    int32_t nGameVersion;         // out, must be written: checked against the clients' version packets
};

// FRAME_CMD_USER_JOIN: zero-filled, then every field written by the frame.
struct JoinRoomQuery {
    int32_t nResult;                             // in: 1; out: non-zero admits, 0 refuses
    char16_t szRefuseText[kJoinRefuseTextUnits];  // in: the default refusal; out: sent to the user when refused
    char16_t szExtra[kJoinExtraUnits];           // in: the user's extra text, zero-terminated
    int32_t nGameCoin;                           // in: the user's game-coin balance
};

#pragma pack(pop)

// ROOM_CMD_SETTLE_COIN. It carries a pointer and so is valid only inside the
// process: 12 bytes on 32-bit systems, 16 on 64-bit ones (4-byte packing, so
// the count follows the pointer without a gap on both).
#pragma pack(push, 4)
struct CoinSettlement {
    int32_t nBankerChange;  // change of the game banker's coins
    int32_t* pChanges;      // one change per place, element i for room user index i
    int32_t nCount;         // elements in pChanges, starting at place 0
};
#pragma pack(pop)

static_assert(sizeof(RoomConfig) == 16);
static_assert(offsetof(RoomConfig, nRoomInfo) == 0);
static_assert(offsetof(RoomConfig, nRoomIndex) == 4);
static_assert(offsetof(RoomConfig, nMaxRoomPlayer) == 6);
static_assert(offsetof(RoomConfig, nMaxRoomObserver) == 8);
static_assert(offsetof(RoomConfig, nObserverBeginIndex) == 10);
static_assert(offsetof(RoomConfig, nGameVersion) == 12);

static_assert(sizeof(JoinRoomQuery) == 130);
static_assert(offsetof(JoinRoomQuery, nResult) == 0);
static_assert(offsetof(JoinRoomQuery, szRefuseText) == 4);
static_assert(offsetof(JoinRoomQuery, szExtra) == 104);
static_assert(offsetof(JoinRoomQuery, nGameCoin) == 126);

static_assert(sizeof(CoinSettlement) == 8 + sizeof(void*));
static_assert(offsetof(CoinSettlement, nBankerChange) == 0);
static_assert(offsetof(CoinSettlement, pChanges) == 4);
static_assert(offsetof(CoinSettlement, nCount) == 4 + sizeof(void*));

// The room's command channel, lent by the frame. Exactly two virtual slots in
// this order; it has no virtual destructor (the game never destroys it).
class IRoomCommand {
public:
    // Slot 0. Sends a whole packet (beginning with its 16-bit signal) to the
    // user at the seat, on that user's game connection. nFlag must be 0.
    // Returns 1 when the packet was handed to the network, 0 when not: the
    // seat is free, its user's game client has not reported ready yet, the
    // seat's session now serves someone else, or the flag is not 0.
    virtual int32_t SendToUser(int16_t nRoomUserIndex, const void* pData, int32_t nLength, int32_t nFlag) = 0;
    // Slot 1. Runs room command nCommand (ROOM_CMD_*); nReserved is ignored.
    // nLength should equal the command's record size; at most that many bytes
    // are read or written. Returns 1, also for codes the frame does not know
    // (which have no effect), except for a settlement that was refused or not
    // written whole (ROOM_CMD_SETTLE_COIN: 0).
    virtual int32_t DoCommand(int32_t nReserved, int32_t nCommand, void* pData, int32_t nLength) = 0;

protected:
    ~IRoomCommand() = default;
};

// The game's room object, returned by CreateRoomInstance. Exactly two virtual
// slots in this order; destroyed only by DestroyRoomInstance.
//
// Exceptions: a module must not let an exception out of either operation (nor
// out of the two exports). The frame survives one that does, but the call
// then counts as not answered: the exception is logged (the first of each
// kind of call per room also to the host) and
//   - FRAME_CMD_USER_JOIN refuses the user with the default refusal text,
//     whatever the record said, and frees the seat; no FRAME_CMD_USER_LEAVE
//     follows for it;
//   - FRAME_CMD_USER_LEAVE still frees the seat;
//   - FRAME_CMD_CLIENT_READY still marks the user's game client ready;
//   - FRAME_CMD_TICK ends for this room; the other rooms are ticked, this one
//     again at the next poll;
//   - OnClientData drops the packet; the user stays seated.
// Whatever the module changed of its own state before it threw stays as it
// is: the frame cannot undo it.
class IRoomInstance {
public:
    // Slot 0. A packet of the user at the seat that the frame does not handle
    // itself (its signal, 16-bit, first). nReserved is always 0. The frame
    // does not act on the result.
    virtual int32_t OnClientData(int16_t nRoomUserIndex, const uint8_t* pData, int32_t nLength,
                                 int32_t nReserved) = 0;
    // Slot 1. Frame command nCommand (FRAME_CMD_*) for the seat, or for the
    // whole room with Q7_INVALID_SHORT_INDEX; pData may be null. The frame
    // never uses the result.
    virtual int32_t OnFrameCommand(int16_t nRoomUserIndex, int32_t nCommand, void* pData, int32_t nLength) = 0;

protected:
    ~IRoomInstance() = default;
};

// The two exports, under these undecorated names.
#define QV_CREATE_ROOM_INSTANCE_NAME "CreateRoomInstance"
#define QV_DESTROY_ROOM_INSTANCE_NAME "DestroyRoomInstance"

extern "C" {
// Returns a usable room object for every call (the frame does not test it).
typedef IRoomInstance* (*PFN_CREATE_ROOM_INSTANCE)(IRoomCommand* pRoomCommand);
// Takes back a room object that CreateRoomInstance returned.
typedef void (*PFN_DESTROY_ROOM_INSTANCE)(IRoomInstance* pInstance);
}

// Put in front of the two export definitions of a module, e.g.
//   QV_GAME_EXPORT IRoomInstance* CreateRoomInstance(IRoomCommand* pRoomCommand);
#ifdef _WIN32
#define QV_GAME_EXPORT extern "C" __declspec(dllexport)
#else
#define QV_GAME_EXPORT extern "C" __attribute__((visibility("default")))
#endif
