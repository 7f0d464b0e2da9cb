// The control surface of the scripted test game modules (tests only).
//
// Every test module (tests/gamemodules/CMakeLists.txt builds several, all from
// testgame.cpp) exports, besides the two game-module functions, the C function
// TestGame_GetControl, which returns the module's one TestGameControl. A test
// sets the answers the rooms give before the frame creates them, installs
// hooks that call back into the frame (SendToUser, DoCommand) from inside any
// call, and reads the record of every call the frame made.
//
// Lifetime: the control lives as long as the module stays mapped. Hold a
// handle of your own (TestGameModule in testgame_module.h) while you use it;
// the frame's own load of the same file then shares the module and its state.
// Hooks run inside the module but are the test's code: Reset() (or clear the
// hook) before the state a hook captures goes away.
//
// Threading: everything on the thread that drives the frame, like the frame.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "QuorvelS/gamemodule.h"

// One call the frame made into the module.
struct TestGameRecord {
    enum Kind : int32_t {
        CREATE = 1,         // CreateRoomInstance
        DESTROY = 2,        // DestroyRoomInstance
        FRAME_COMMAND = 3,  // IRoomInstance::OnFrameCommand
        CLIENT_DATA = 4,    // IRoomInstance::OnClientData
    };
    Kind eKind;
    int32_t nInstance;            // index into TestGameControl::aInstances; -1: unknown object
    int32_t nRoomIndex;           // the instance's room (from FRAME_CMD_ROOM_CONFIG), -1 before
    int16_t nRoomUserIndex;       // FRAME_COMMAND, CLIENT_DATA
    int32_t nCommand;             // FRAME_COMMAND: the code; otherwise 0
    int32_t nLength;              // the length argument
    int32_t nReserved;            // CLIENT_DATA: the reserved argument
    bool bNullData;               // the data pointer was null
    bool bAfterDestroy;           // the instance had been handed back already (a frame fault)
    std::vector<uint8_t> aData;   // the bytes passed in (FRAME_COMMAND: before the module answered)
    std::vector<uint8_t> aAnswer; // FRAME_COMMAND: the same bytes after the module answered
};

// One room object the module handed out. Objects stay allocated until the
// module unloads, so a call through a handed-back object is recorded, not a crash.
struct TestGameInstance {
    IRoomInstance* pInstance;     // what CreateRoomInstance returned
    IRoomCommand* pRoomCommand;   // the channel the frame lent
    int32_t nRoomIndex;           // from FRAME_CMD_ROOM_CONFIG, -1 before
    int32_t nDestroyCount;        // DestroyRoomInstance calls for it (1 is right)
};

// What a hook sees and may change.
struct TestGameCall {
    int32_t nInstance;           // index into TestGameControl::aInstances
    int32_t nRoomIndex;          // the instance's room, -1 before FRAME_CMD_ROOM_CONFIG
    IRoomCommand* pRoomCommand;  // the instance's channel, to call back into the frame
    int16_t nRoomUserIndex;
    int32_t nCommand;            // frame command code; 0 in OnClientData
    void* pData;                 // the frame's data (a packet in OnClientData: do not write)
    int32_t nLength;
    int32_t nResult;             // returned to the frame; preset 1
};

struct TestGameControl {
    // FRAME_CMD_ROOM_CONFIG answers (every room alike; a hook may vary them).
    int16_t nMaxRoomPlayer = 4;                   // player seats
    std::optional<int16_t> nMaxRoomObserver;      // unset: the frame's offer stays
    std::optional<int16_t> nObserverBeginIndex;   // unset: nMaxRoomPlayer
    int32_t nGameVersion = 1;
    std::optional<int32_t> nRoomInfo;             // host report value; unset: the frame's 20 stays
    // FRAME_CMD_MIN_COIN answer; unset: the preset 0 stays.
    std::optional<int32_t> nMinCoin;
    // FRAME_CMD_USER_JOIN answer: nResult, and when refusing with a non-empty
    // text, that text (cut to 49 characters).
    int32_t nJoinResult = 1;
    std::u16string strRefuseText;

    // Run after the built-in answer of every call of that kind.
    std::function<void(TestGameCall&)> OnFrameCommand;
    std::function<void(TestGameCall&)> OnClientData;

    // A faulty module: the frame commands listed here, and OnClientData when
    // bThrowOnClientData is set, throw after they were recorded, answered and
    // their hook ran (so a join may have written "admitted" before throwing).
    // Only in the room nThrowRoomIndex when it is set. They throw a
    // std::runtime_error, or a bare int when bThrowForeign is set.
    std::vector<int32_t> anThrowOnCommands;
    bool bThrowOnClientData = false;
    std::optional<int32_t> nThrowRoomIndex;
    bool bThrowForeign = false;

    bool bRecordTicks = true;             // false: FRAME_CMD_TICK is not recorded
    std::vector<TestGameRecord> aRecords;  // every call, in order
    std::vector<TestGameInstance> aInstances;

    // Restores the answers, drops the hooks and the records; the instances stay.
    void Reset() {
        std::vector<TestGameInstance> aKeep = std::move(aInstances);
        *this = TestGameControl{};
        aInstances = std::move(aKeep);
    }

    // Records of one kind (and, for FRAME_COMMAND, one code; 0 = any).
    std::vector<TestGameRecord> Find(TestGameRecord::Kind eKind, int32_t nCommand = 0) const {
        std::vector<TestGameRecord> aOut;
        for (const TestGameRecord& r : aRecords)
            if (r.eKind == eKind && (nCommand == 0 || r.nCommand == nCommand)) aOut.push_back(r);
        return aOut;
    }
    size_t Count(TestGameRecord::Kind eKind, int32_t nCommand = 0) const { return Find(eKind, nCommand).size(); }
    // Instances not handed back yet.
    int LiveInstances() const {
        int n = 0;
        for (const TestGameInstance& i : aInstances) n += i.nDestroyCount == 0 ? 1 : 0;
        return n;
    }
};

extern "C" {
typedef TestGameControl* (*PFN_TESTGAME_GET_CONTROL)();
}
#define QV_TESTGAME_GET_CONTROL_NAME "TestGame_GetControl"

// ROOM_CMD_SETTLE_COIN with the given changes. nCount < 0 means the number of
// changes; bNullChanges passes a null array (the frame must refuse it when
// nCount > 0). Returns what DoCommand returned.
inline int32_t TestGameSettle(IRoomCommand* pRoomCommand, int32_t nBankerChange, std::vector<int32_t> anChanges,
                              int32_t nCount = -1, bool bNullChanges = false) {
    CoinSettlement settlement{};
    settlement.nBankerChange = nBankerChange;
    settlement.pChanges = bNullChanges ? nullptr : anChanges.data();
    settlement.nCount = nCount < 0 ? static_cast<int32_t>(anChanges.size()) : nCount;
    return pRoomCommand->DoCommand(0, ROOM_CMD_SETTLE_COIN, &settlement, static_cast<int32_t>(sizeof(settlement)));
}

// ROOM_CMD_GET_ROOM_INDEX; the index, or -1 when the frame wrote nothing.
inline int32_t TestGameGetRoomIndex(IRoomCommand* pRoomCommand) {
    int32_t nIndex = -1;
    pRoomCommand->DoCommand(0, ROOM_CMD_GET_ROOM_INDEX, &nIndex, static_cast<int32_t>(sizeof(nIndex)));
    return nIndex;
}
