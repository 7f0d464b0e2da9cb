// Shared fixtures of the server tests, in layers:
//   ServerTestEnv           the environment every server test runs in: the
//                           scripted driver, the fake database, a manual tick,
//                           a host capture and an assertion collector, in a
//                           temporary directory laid out like the runtime tree
//                           (<tmp>/Server is the working directory,
//                           <tmp>/Binaries the base files);
//   ServerFixture<TServer>  a server of that type over it, with the helpers
//                           that connect, send packets and read what was sent;
//   ServerBaseTest          the server-base tests' minimal server and session
//                           (the frame tests build FrameTest in
//                           qvframe_fixture.h the same way).
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <string>
#include <variant>
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

using Bytes = std::vector<uint8_t>;

// A field of a packed record by value: the checks take their arguments by
// reference, which a packed field cannot give.
template <class T>
T Copy(T v) {
    return v;
}

template <size_t N>
Bytes ToBytes(const std::array<uint8_t, N>& a) {
    return Bytes(a.begin(), a.end());
}

// The fakes are installed for the object's lifetime, in member order, and
// removed in reverse.
struct ServerTestEnv {
    ServerTestEnv() : m_cwd(m_dir / "Server"), m_netScope(m_drv), m_dbScope(m_db) {}

    CScriptedTcpServer& Net() { return m_drv.Server(); }

    // Writes the configuration file: the core section with MaxUser and
    // MaxConnection, then strMoreLines as they are.
    void Configure(int nMaxUser, int nMaxConnection, const std::string& strMoreLines = "") {
        WriteFileBytes(m_dir / "Server/QuorvelS.ini",
                       "[ServerCore]\r\nMaxUser=" + std::to_string(nMaxUser) +
                           "\r\nMaxConnection=" + std::to_string(nMaxConnection) + "\r\n" +
                           strMoreLines);
    }

    // A platform user without a game user; returns the GUID.
    std::u16string AddUser(const std::u16string& strName, int32_t nGold = 1000) {
        FakeDbcUser u;
        u.strUserName = strName;
        u.strExtra = u"extra";
        u.nGold = nGold;
        return m_db.AddUser(u);
    }
    // A platform user with its game user and login key; returns the GUID.
    std::u16string AddUser(const std::u16string& strName, int32_t nGold, int32_t nGameCoin,
                           int32_t nLoginKey = 4711) {
        FakeDbcUser u;
        u.strUserName = strName;
        u.strExtra = u"ext-" + strName;
        u.nLoginKey = nLoginKey;
        u.nGold = nGold;
        u.bHasGameUser = true;
        u.nGameCoin = nGameCoin;
        return m_db.AddUser(u);
    }

    // What was sent to connection c, in order: whole sends, their bytes, their signals.
    std::vector<ScriptedSend> SendsTo(int c) { return Net().SendsTo(c); }
    std::vector<Bytes> SentTo(int c) {
        std::vector<Bytes> a;
        for (const ScriptedSend& s : Net().SendsTo(c)) a.push_back(s.aBytes);
        return a;
    }
    std::vector<uint16_t> SignalsTo(int c) {
        std::vector<uint16_t> a;
        for (const ScriptedSend& s : Net().SendsTo(c)) a.push_back(s.Signal());
        return a;
    }
    int CountSignal(int c, uint16_t wSignal) {
        auto a = SignalsTo(c);
        return static_cast<int>(std::count(a.begin(), a.end(), wSignal));
    }
    // The reason text of the last packet sent to c when it is an error; "-" otherwise.
    std::u16string LastErrorTo(int c) {
        auto sent = SentTo(c);
        std::u16string strText;
        uint16_t wRequest = 0;
        bool bError = !sent.empty() &&
                      ParseCoreError(sent.back().data(), sent.back().size(), wRequest, strText);
        return bError ? strText : u"-";
    }
    static Bytes ErrorBytes(uint16_t wRequest, std::u16string_view strReason) {
        return ToBytes(BuildCoreError(wRequest, strReason));
    }
    static Bytes ResultBytes(uint16_t wRequest) { return ToBytes(BuildCoreResult(wRequest)); }

    CTempDir m_dir;
    CScopedCwd m_cwd;
    CManualTick m_tick{1000};
    CScriptedNetDrv m_drv;
    CScopedNetDrv m_netScope;
    CFakeDbc m_db;
    CScopedDbcBinding m_dbScope;
    CHostCapture m_host;
    QvAssertCollector m_asserts;
};

// A server of type TServer over the environment, reading QuorvelS.ini and
// stopped at the end. TState holds what must be made after the environment
// and before the server and go between them again (the frame's game module
// outlives the server's stop).
template <class TServer, class TState = std::monostate>
class ServerFixture : public ::testing::Test, protected ServerTestEnv, protected TState {
protected:
    ServerFixture() { m_server.SetConfigPath(u"QuorvelS.ini"); }
    ~ServerFixture() override { m_server.Stop(); }

    void Poll(uint32_t dwHostValue = 0) { m_server.Poll(dwHostValue); }
    // Connects connection c and drains its accept reply.
    void Connect(int c) {
        Net().QueueConnect(c);
        Poll();
    }
    void Receive(int c, Bytes aPacket) {
        Net().QueueReceive(c, std::move(aPacket));
        Poll();
    }
    template <size_t N>
    void Receive(int c, const std::array<uint8_t, N>& aPacket) {
        Receive(c, ToBytes(aPacket));
    }
    void Signal(int c, uint16_t wSignal, size_t nLength = 2) {
        Net().QueueSignal(c, wSignal, nLength);
        Poll();
    }
    // A login packet on connection c, which must be connected.
    void SendLogin(int c, const std::u16string& strName, uint16_t wSignal,
                   const std::u16string& strLoginString) {
        Receive(c, BuildLoginPacket(wSignal, strName, strLoginString));
    }

    TServer m_server;
};

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

class ServerBaseTest : public ServerFixture<CTestServer> {
protected:
    // Starts with the given MaxUser and MaxConnection; the driver's records
    // and the host output of the start are dropped.
    void Start(int nMaxUser = 50, int nMaxConnection = 10) {
        Configure(nMaxUser, nMaxConnection);
        m_server.Start(50, nullptr, nullptr, 0);
        Net().ClearRecords();
        m_host.Clear();
    }
    // The test server takes any login string.
    void Login(int c, const std::u16string& strName, uint16_t wSignal = CS_LOBBY_CLIENT_LOGIN) {
        SendLogin(c, strName, wSignal, u"login-string");
    }
};
