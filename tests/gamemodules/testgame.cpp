// The scripted test game module: answers the frame as its TestGameControl
// says, records every call, and runs the test's hooks (which may call back
// into the frame). Built several times with different version information;
// QV_TESTGAME_NO_DESTROY leaves out the DestroyRoomInstance export.
#include <algorithm>
#include <cstring>
#include <memory>
#include <stdexcept>

#include "tests/gamemodules/testgame_control.h"

namespace {

TestGameControl g_Control;

std::vector<uint8_t> Bytes(const void* p, int32_t nLength) {
    if (!p || nLength <= 0) return {};
    const uint8_t* b = static_cast<const uint8_t*>(p);
    return std::vector<uint8_t>(b, b + nLength);
}

// Copies a record out of the frame's data, at most its size and the length.
template <class T>
T ReadRecord(const void* pData, int32_t nLength) {
    T record{};
    if (pData && nLength > 0)
        std::memcpy(&record, pData, std::min(sizeof(T), static_cast<size_t>(nLength)));
    return record;
}

template <class T>
void WriteRecord(void* pData, int32_t nLength, const T& record) {
    if (pData && nLength > 0) std::memcpy(pData, &record, std::min(sizeof(T), static_cast<size_t>(nLength)));
}

class CTestRoom final : public IRoomInstance {
public:
    explicit CTestRoom(int32_t nInstance) : m_nInstance(nInstance) {}
    virtual ~CTestRoom() = default;

    int32_t OnClientData(int16_t nRoomUserIndex, const uint8_t* pData, int32_t nLength, int32_t nReserved) override {
        TestGameRecord& r = Record(TestGameRecord::CLIENT_DATA, nRoomUserIndex, 0, pData, nLength);
        r.nReserved = nReserved;
        TestGameCall call = MakeCall(nRoomUserIndex, 0, const_cast<uint8_t*>(pData), nLength);
        if (g_Control.OnClientData) g_Control.OnClientData(call);
        if (g_Control.bThrowOnClientData) ThrowIfScripted();
        return call.nResult;
    }

    int32_t OnFrameCommand(int16_t nRoomUserIndex, int32_t nCommand, void* pData, int32_t nLength) override {
        size_t nRecord = g_Control.aRecords.size();
        bool bRecorded = nCommand != FRAME_CMD_TICK || g_Control.bRecordTicks;
        if (bRecorded) Record(TestGameRecord::FRAME_COMMAND, nRoomUserIndex, nCommand, pData, nLength);
        Answer(nCommand, pData, nLength);
        TestGameCall call = MakeCall(nRoomUserIndex, nCommand, pData, nLength);
        if (g_Control.OnFrameCommand) g_Control.OnFrameCommand(call);
        // The hook may have added records of its own; the answer belongs to this one.
        if (bRecorded) g_Control.aRecords[nRecord].aAnswer = Bytes(pData, nLength);
        const std::vector<int32_t>& anThrow = g_Control.anThrowOnCommands;
        if (std::find(anThrow.begin(), anThrow.end(), nCommand) != anThrow.end()) ThrowIfScripted();
        return call.nResult;
    }

private:
    // The scripted fault of a call that the control marked to throw.
    void ThrowIfScripted() {
        if (g_Control.nThrowRoomIndex && *g_Control.nThrowRoomIndex != Instance().nRoomIndex) return;
        if (g_Control.bThrowForeign) throw 7;
        throw std::runtime_error("scripted game fault");
    }

    // A test that dropped the instance table gets a blank stand-in rather than a stray write.
    TestGameInstance& Instance() {
        static TestGameInstance s_Lost{};
        if (static_cast<size_t>(m_nInstance) >= g_Control.aInstances.size()) return s_Lost = TestGameInstance{};
        return g_Control.aInstances[static_cast<size_t>(m_nInstance)];
    }

    TestGameRecord& Record(TestGameRecord::Kind eKind, int16_t nRoomUserIndex, int32_t nCommand, const void* pData,
                           int32_t nLength) {
        TestGameRecord r{};
        r.eKind = eKind;
        r.nInstance = m_nInstance;
        r.nRoomIndex = Instance().nRoomIndex;
        r.nRoomUserIndex = nRoomUserIndex;
        r.nCommand = nCommand;
        r.nLength = nLength;
        r.bNullData = pData == nullptr;
        r.bAfterDestroy = Instance().nDestroyCount > 0;
        r.aData = Bytes(pData, nLength);
        g_Control.aRecords.push_back(std::move(r));
        return g_Control.aRecords.back();
    }

    TestGameCall MakeCall(int16_t nRoomUserIndex, int32_t nCommand, void* pData, int32_t nLength) {
        return TestGameCall{m_nInstance, Instance().nRoomIndex, Instance().pRoomCommand, nRoomUserIndex,
                            nCommand,    pData,                 nLength,                 1};
    }

    // The built-in answers of the control's settings.
    void Answer(int32_t nCommand, void* pData, int32_t nLength) {
        const TestGameControl& c = g_Control;
        if (nCommand == FRAME_CMD_ROOM_CONFIG) {
            RoomConfig config = ReadRecord<RoomConfig>(pData, nLength);
            Instance().nRoomIndex = config.nRoomIndex;
            config.nMaxRoomPlayer = c.nMaxRoomPlayer;
            if (c.nMaxRoomObserver) config.nMaxRoomObserver = *c.nMaxRoomObserver;
            config.nObserverBeginIndex = c.nObserverBeginIndex.value_or(c.nMaxRoomPlayer);
            config.nGameVersion = c.nGameVersion;
            if (c.nRoomInfo) config.nRoomInfo = *c.nRoomInfo;
            WriteRecord(pData, nLength, config);
        } else if (nCommand == FRAME_CMD_MIN_COIN) {
            if (c.nMinCoin) WriteRecord(pData, nLength, *c.nMinCoin);
        } else if (nCommand == FRAME_CMD_USER_JOIN) {
            JoinRoomQuery query = ReadRecord<JoinRoomQuery>(pData, nLength);
            query.nResult = c.nJoinResult;
            if (c.nJoinResult == 0 && !c.strRefuseText.empty()) {
                size_t n = std::min(c.strRefuseText.size(), kJoinRefuseTextUnits - 1);
                std::fill(std::begin(query.szRefuseText), std::end(query.szRefuseText), u'\0');
                std::copy_n(c.strRefuseText.begin(), n, query.szRefuseText);
            }
            WriteRecord(pData, nLength, query);
        }
    }

    int32_t m_nInstance;
};

// The room objects, kept until the module unloads (see TestGameInstance).
std::vector<std::unique_ptr<CTestRoom>> g_aRooms;

}  // namespace

QV_GAME_EXPORT TestGameControl* TestGame_GetControl() { return &g_Control; }

QV_GAME_EXPORT IRoomInstance* CreateRoomInstance(IRoomCommand* pRoomCommand) {
    int32_t nInstance = static_cast<int32_t>(g_Control.aInstances.size());
    g_aRooms.push_back(std::make_unique<CTestRoom>(nInstance));
    g_Control.aInstances.push_back(TestGameInstance{g_aRooms.back().get(), pRoomCommand, -1, 0});
    TestGameRecord r{};
    r.eKind = TestGameRecord::CREATE;
    r.nInstance = nInstance;
    r.nRoomIndex = -1;
    r.nRoomUserIndex = static_cast<int16_t>(Q7_INVALID_SHORT_INDEX);
    g_Control.aRecords.push_back(std::move(r));
    return g_aRooms.back().get();
}

#ifndef QV_TESTGAME_NO_DESTROY
QV_GAME_EXPORT void DestroyRoomInstance(IRoomInstance* pInstance) {
    TestGameRecord r{};
    r.eKind = TestGameRecord::DESTROY;
    r.nInstance = -1;
    r.nRoomIndex = -1;
    r.nRoomUserIndex = static_cast<int16_t>(Q7_INVALID_SHORT_INDEX);
    r.bNullData = pInstance == nullptr;
    for (size_t i = 0; i < g_Control.aInstances.size(); ++i) {
        TestGameInstance& inst = g_Control.aInstances[i];
        if (inst.pInstance != pInstance) continue;
        r.nInstance = static_cast<int32_t>(i);
        r.nRoomIndex = inst.nRoomIndex;
        r.bAfterDestroy = inst.nDestroyCount > 0;
        ++inst.nDestroyCount;
    }
    g_Control.aRecords.push_back(std::move(r));
}
#endif
