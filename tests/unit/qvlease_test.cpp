// Session leases in the frame server: the configuration keys written back
// with a default identity, the refund before the lease's release, and a
// session whose lease another server took ending without a refund.
#include "platform/hostname.h"
#include "projcommon/wformat.h"
#include "tests/unit/qvframe_fixture.h"

namespace {

class QvLeaseTest : public FrameTest {
protected:
    QvLeaseTest() {
        m_db.SetLeaseSupported(true);
        m_db.SetLeaseClock(100);
    }
    int CountLog(const std::u16string& strLine) const { return m_host.CountLog(strLine); }
};

TEST_F(QvLeaseTest, TheKeysAreWrittenBackWithAnIdentityOfHostAndPort) {
    AddUser(u"amy", 5000, 0);
    ASSERT_EQ(StartFrame("RoomCount=1\r\n"), 1);
    std::u16string strAddress;
    const int nPort = m_server.GetServerAddress(strAddress);
    ASSERT_EQ(strAddress, u"0.0.0.0");
    const std::string strId = WideToUtf8(WFormat(u"%s:%d", plat::GetHostName(), nPort));
    const std::string strIni = ReadFileBytes(m_dir / "Server/QuorvelS.ini");
    EXPECT_NE(strIni.find("ServerId=" + strId), std::string::npos) << strIni;
    EXPECT_NE(strIni.find("SessionLeaseSeconds=30"), std::string::npos) << strIni;
    EXPECT_EQ(WideToUtf8(m_server.GetSessionLease().GetServerId()), strId);

    // A configured identity and a lease outside its range.
    m_server.Stop();
    ASSERT_EQ(StartFrame("RoomCount=1\r\nServerId=east-1\r\nSessionLeaseSeconds=1\r\n"), 1);
    EXPECT_EQ(m_server.GetSessionLease().GetServerId(), u"east-1");
    EXPECT_EQ(m_server.GetSessionLease().GetLeaseSeconds(), kMinSessionLeaseSeconds);
}

TEST_F(QvLeaseTest, TheCoinsAreSoldBackBeforeTheLeaseIsReleased) {
    const std::u16string strGuid = AddUser(u"amy", 5000, 40);
    ASSERT_EQ(StartFrame("RoomCount=1\r\nServerId=east-1\r\n"), 1);
    Login(0, u"amy");
    ASSERT_NE(m_db.Lease(strGuid), nullptr);
    ClearRecords();
    Signal(0, CS_LOBBY_CLIENT_LOGOUT);
    EXPECT_EQ(m_db.Lease(strGuid), nullptr);
    EXPECT_EQ(m_db.FindUser(u"amy")->nGameCoin, 0);
    const int nRefund = m_db.FirstCallIndex(DBCMD_EXCHANGE);
    ASSERT_GE(nRefund, 0);
    EXPECT_GT(m_db.FirstCallIndex(DBCMD_RELEASE_LEASE), nRefund)
        << "another server may load the coins only once they are gold";
}

TEST_F(QvLeaseTest, ASessionWhoseLeaseWentElsewhereEndsWithoutARefund) {
    const std::u16string strGuid = AddUser(u"amy", 5000, 40);
    ASSERT_EQ(StartFrame("RoomCount=1\r\nServerId=east-1\r\nSessionLeaseSeconds=3\r\n"), 1);
    Login(0, u"amy");
    // The renews failed for longer than the lease and another server took amy.
    m_db.SetLease(strGuid, {u"west-2", m_db.LeaseClock() + 3, u""});
    ClearRecords();
    m_tick.Advance(1000);
    Poll();
    EXPECT_EQ(CountLog(u"用户 amy 的会话租约已归服务器 west-2, 关闭 Session(0)"), 1);
    EXPECT_EQ(SessionOf(0), nullptr);
    EXPECT_EQ(m_db.CountCalls(DBCMD_EXCHANGE), 0) << "the coins belong to amy's session on west-2";
    EXPECT_EQ(m_db.FindUser(u"amy")->nGameCoin, 40);
    EXPECT_EQ(m_db.Lease(strGuid)->strServer, u"west-2");
}

}  // namespace
