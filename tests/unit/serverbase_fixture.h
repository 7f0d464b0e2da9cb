// Shared fixture of the server-base tests: a minimal server and session over
// the scripted driver, the fake database, a manual tick and a host capture,
// running in a temporary directory laid out like the runtime tree
// (<tmp>/Server is the working directory, <tmp>/Binaries the base files).
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/packets.h"
#include "common/serverbase.h"
#include "projcommon/qvassert.h"
#include "projcommon/widestring.h"
#include "tests/support/fakedbc.h"
#include "tests/support/hostcapture.h"
#include "tests/support/manualtick.h"
#include "tests/support/scriptednetdrv.h"
#include "tests/support/tempdir.h"

struct ReceivedPacket {
    int16_t nConnectionIndex;
    uint16_t wSignal;
    uint32_t nLength;
};

// Records what reaches the derived-session slots.
class CTestSession : public CSessionBase {
public:
    void OnRecvPacket(const uint8_t*, uint32_t nLength, int16_t nConnectionIndex,
                      uint16_t wSignal) override {
        aReceived.push_back({nConnectionIndex, wSignal, nLength});
    }
    void OnOpen() override { ++nOpens; }
    void OnClose() override { ++nCloses; }
    void OnLogin() override { ++nLogins; }

    std::vector<ReceivedPacket> aReceived;
    int nOpens = 0;
    int nCloses = 0;
    int nLogins = 0;
};

// Game slots with programmable answers.
class CTestServer : public CServerBase {
public:
    CSessionBase* CreateSession() override { return new CTestSession(); }
    int CheckGameVersion(const uint8_t* pPacket, std::u16string&) override {
        int32_t nVersion = 0;
        return ParseVersionPacket(pPacket, kVersionPacketSize, nVersion) &&
               nVersion == nGameVersion;
    }
    int VerifyLogin(const uint8_t*, std::u16string& strError, UserInfo& info) override {
        ++nVerifyCalls;
        if (!bVerifyOk)
            strError = u"登录串验证未通过";
        else
            info.nLoginKey = 0x5EC7E7;  // what the key check stores
        return bVerifyOk;
    }
    int LoadGameUser(UserInfo& info, std::u16string& strError) override {
        if (!bLoadOk) {
            strError = u"获取游戏用户信息失败";
            return 0;
        }
        info.nGameCoin = 77;
        return 1;
    }
    CTestSession* Session(int i) {
        return static_cast<CTestSession*>(GetSession(static_cast<uint16_t>(i)));
    }

    int32_t nGameVersion = 7;
    int bVerifyOk = 1;
    int bLoadOk = 1;
    int nVerifyCalls = 0;
};

class ServerBaseTest : public ::testing::Test {
protected:
    ServerBaseTest() : m_cwd(m_dir / "Server"), m_netScope(m_drv), m_dbScope(m_db) {
        m_server.SetConfigPath(u"QuorvelS.ini");
    }
    ~ServerBaseTest() override { m_server.Stop(); }

    CScriptedTcpServer& Net() { return m_drv.Server(); }

    // Writes the configuration file with the given MaxUser and MaxConnection.
    void Configure(int nMaxUser, int nMaxConnection) {
        WriteFileBytes(m_dir / "Server/QuorvelS.ini",
                       "[ServerCore]\r\nMaxUser=" + std::to_string(nMaxUser) +
                           "\r\nMaxConnection=" + std::to_string(nMaxConnection) + "\r\n");
    }
    void Start(int nMaxUser = 50, int nMaxConnection = 10) {
        Configure(nMaxUser, nMaxConnection);
        m_server.Start(50, nullptr, nullptr, 0);
        Net().ClearRecords();
        m_host.Clear();
    }
    void Poll() { m_server.Poll(0); }

    // Connects connection c and drains its accept reply.
    void Connect(int c) {
        Net().QueueConnect(c);
        Poll();
    }
    void Receive(int c, std::vector<uint8_t> aPacket) {
        Net().QueueReceive(c, std::move(aPacket));
        Poll();
    }
    template <size_t N>
    void Receive(int c, const std::array<uint8_t, N>& aPacket) {
        Receive(c, std::vector<uint8_t>(aPacket.begin(), aPacket.end()));
    }
    void Signal(int c, uint16_t wSignal, size_t nLength = 2) {
        Net().QueueSignal(c, wSignal, nLength);
        Poll();
    }
    std::u16string AddUser(const std::u16string& strName, int32_t nGold = 1000) {
        FakeDbcUser u;
        u.strUserName = strName;
        u.strExtra = u"extra";
        u.nGold = nGold;
        return m_db.AddUser(u);
    }
    void Login(int c, const std::u16string& strName, uint16_t wSignal = CS_LOBBY_CLIENT_LOGIN) {
        Receive(c, BuildLoginPacket(wSignal, strName, u"login-string"));
    }

    static std::vector<uint8_t> ErrorBytes(uint16_t wRequest, std::u16string_view strReason) {
        auto p = BuildCoreError(wRequest, strReason);
        return std::vector<uint8_t>(p.begin(), p.end());
    }
    static std::vector<uint8_t> ResultBytes(uint16_t wRequest) {
        auto p = BuildCoreResult(wRequest);
        return std::vector<uint8_t>(p.begin(), p.end());
    }

    CTempDir m_dir;
    CScopedCwd m_cwd;
    CManualTick m_tick{1000};
    CScriptedNetDrv m_drv;
    CScopedNetDrv m_netScope;
    CFakeDbc m_db;
    CScopedDbcBinding m_dbScope;
    CHostCapture m_host;
    QvAssertCollector m_asserts;
    CTestServer m_server;
};
