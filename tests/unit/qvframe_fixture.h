// Shared fixture of the game-frame tests: a CQVServer of its own over the
// server tests' environment (serverbase_fixture.h) and the scripted test game
// module.
//
// Users log in with valid login strings (the key check is on by default);
// helpers connect, log in, pass the version check, join and report ready.
#pragma once

#include <algorithm>
#include <string>
#include <vector>

#include "QuorvelS/loginstring.h"
#include "QuorvelS/qvpackets.h"
#include "QuorvelS/qvroom.h"
#include "QuorvelS/qvserver.h"
#include "QuorvelS/qvsession.h"
#include "tests/gamemodules/testgame_module.h"
#include "tests/unit/serverbase_fixture.h"

inline Bytes JoinPacket(uint16_t wRoomIndex, uint8_t nJoinMode) {
    return {static_cast<uint8_t>(CS_JOIN_ROOM & 0xFF), static_cast<uint8_t>(CS_JOIN_ROOM >> 8),
            static_cast<uint8_t>(wRoomIndex & 0xFF), static_cast<uint8_t>(wRoomIndex >> 8),
            nJoinMode};
}

inline Bytes GamePacket(uint16_t wSignal, std::vector<uint8_t> aBody = {}) {
    Bytes a(2 + aBody.size());
    a[0] = static_cast<uint8_t>(wSignal & 0xFF);
    a[1] = static_cast<uint8_t>(wSignal >> 8);
    std::copy(aBody.begin(), aBody.end(), a.begin() + 2);
    return a;
}

// The database records of one command, in call order.
inline std::vector<DbcValueRecord> ValueRequests(const CFakeDbc& db, int nCmd) {
    std::vector<DbcValueRecord> a;
    for (const DbcCallRecord& call : db.CallsOf(nCmd))
        if (auto r = call.Request<DbcValueRecord>()) a.push_back(*r);
    return a;
}

inline std::u16string RecordName(const DbcValueRecord& r) {
    return std::u16string(r.szName, WideLength(r.szName, kGuidUnits));
}

// The exchange records (command 20) the framework passed, in call order.
inline std::vector<DbcExchangeRecord> ExchangeRequests(const CFakeDbc& db) {
    std::vector<DbcExchangeRecord> a;
    for (const DbcCallRecord& call : db.CallsOf(DBCMD_EXCHANGE))
        if (auto r = call.Request<DbcExchangeRecord>()) a.push_back(*r);
    return a;
}

inline std::u16string FieldText(const char16_t* p) {
    return std::u16string(p, WideLength(p, kGuidUnits));
}

// Made after the environment and before the frame server, gone between them
// again: the test game's handle outlives the server's stop.
struct FrameState {
    TestGameModule m_game{Utf8ToWide(QV_TESTGAME_EXAMPLE_PATH)};
    ServerStartInfo m_info{};
};

class FrameTest : public ServerFixture<CQVServer, FrameState> {
protected:
    static constexpr uint64_t kLoginTime = 0x1D9A2B3C;

    FrameTest() {
        std::fill(std::begin(m_info.szName), std::end(m_info.szName), u'\0');
        WideCopyBounded(m_info.szName, 50, u"host title");
    }

    TestGameControl& Game() {
        static TestGameControl s_Missing;
        EXPECT_NE(m_game.Control(), nullptr) << "the test game module did not load";
        return m_game.Control() ? *m_game.Control() : s_Missing;
    }

    // Unless the lines say otherwise, rooms are ticked at every poll, so that
    // a test's polls are its ticks whatever host values it passes.
    static std::string RoomTickLine(const std::string& strFrameLines) {
        return strFrameLines.find("RoomTickMs=") == std::string::npos ? "RoomTickMs=0\r\n" : "";
    }
    // The configuration file: the core section and the frame section with
    // the game module and the given lines.
    void WriteConfig(const std::string& strFrameLines,
                     const std::string& strModule = QV_TESTGAME_EXAMPLE_PATH,
                     int nMaxConnection = 8, int nMaxUser = 50) {
        Configure(nMaxUser, nMaxConnection,
                  "[QuorvelS]\r\nGameServerDll=" + strModule + "\r\n" +
                      RoomTickLine(strFrameLines) + strFrameLines);
    }
    // Starts with the lines; the records of the start are dropped unless kept.
    int StartFrame(const std::string& strFrameLines = "RoomCount=3\r\n",
                   const std::string& strModule = QV_TESTGAME_EXAMPLE_PATH,
                   bool bKeepRecords = false) {
        WriteConfig(strFrameLines, strModule);
        int nResult = m_server.StartFrame(m_info);
        if (!bKeepRecords) ClearRecords();
        return nResult;
    }

    // Connects c and logs the user in on it with the right login string.
    void Login(int c, const std::u16string& strName, uint16_t wSignal = CS_LOBBY_CLIENT_LOGIN) {
        Connect(c);
        const FakeDbcUser* pUser = m_db.FindUser(strName);
        SendLogin(c, strName, wSignal, MakeLoginString(pUser ? pUser->nLoginKey : 0, kLoginTime));
    }
    void CheckVersion(int c, int32_t nVersion = 1) { Receive(c, BuildVersionPacket(nVersion)); }
    void Join(int c, uint16_t wRoomIndex, uint8_t nJoinMode = 0) {
        Receive(c, JoinPacket(wRoomIndex, nJoinMode));
    }
    // Lobby connection cLobby, game connection cLobby + 1: logged in on both,
    // the game connection version-checked, seated by a join on the lobby and
    // ready. Records are dropped afterwards unless kept.
    void SeatUser(int cLobby, const std::u16string& strName, uint16_t wRoomIndex,
                  uint8_t nJoinMode = 0, bool bReady = true) {
        Login(cLobby, strName);
        Login(cLobby + 1, strName, CS_GAME_CLIENT_LOGIN);
        CheckVersion(cLobby + 1);
        Join(cLobby, wRoomIndex, nJoinMode);
        if (bReady) Signal(cLobby + 1, CS_GAME_CLIENT_READY);
        ClearRecords();
    }
    // What the driver, the host output, the database and the game recorded.
    void ClearRecords() {
        Net().ClearRecords();
        m_host.Clear();
        m_db.ClearCalls();
        if (m_game.Control()) m_game.Control()->aRecords.clear();
    }

    CQVSession* SessionOf(int c) {
        return static_cast<CQVSession*>(m_server.GetConnectionSession(static_cast<int16_t>(c)));
    }
    // Sets the balances of the user logged in on c, in the database and in
    // the session alike.
    void SetBalances(int c, int32_t nGold, int32_t nGameCoin) {
        CQVSession* pSession = SessionOf(c);
        FakeDbcUser* pUser = m_db.MutableUser(pSession->GetUserName());
        ASSERT_NE(pUser, nullptr);
        pUser->nGold = pSession->GetUserInfo()->nGold = nGold;
        pUser->nGameCoin = pSession->GetUserInfo()->nGameCoin = nGameCoin;
    }
    // The session on c holds the balances the database holds.
    void ExpectInStep(int c, const std::string& strWhen) {
        const UserInfo& info = *SessionOf(c)->GetUserInfo();
        const FakeDbcUser* pUser = m_db.FindUser(SessionOf(c)->GetUserName());
        ASSERT_NE(pUser, nullptr) << strWhen;
        EXPECT_EQ(Copy(info.nGold), pUser->nGold) << strWhen;
        EXPECT_EQ(Copy(info.nGameCoin), pUser->nGameCoin) << strWhen;
    }
    // Everything the database holds, valued in gold at the server's rate.
    int64_t TotalValue() const { return m_db.TotalValue(m_server.GetGoldToCoin()); }
    // The live channel of the room's game object (null when none).
    IRoomCommand* RoomCommand(int nRoomIndex) {
        for (const TestGameInstance& i : Game().aInstances)
            if (i.nRoomIndex == nRoomIndex && i.nDestroyCount == 0) return i.pRoomCommand;
        return nullptr;
    }
    // The frame commands of one code the game received, in order.
    std::vector<TestGameRecord> FrameCommands(int32_t nCommand) {
        return Game().Find(TestGameRecord::FRAME_COMMAND, nCommand);
    }
};
