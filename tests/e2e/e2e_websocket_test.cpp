// WebSocket clients of a running host: QuorvelS.ini's WebSocketPort opens the
// port beside the TCP one (said in the log), and a client on it is served
// exactly as a client on the TCP port is, byte for byte.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "client/qvclient/connection.h"
#include "client/qvclient/messages.h"
#include "client/qvclient/wire.h"
#include "common/signals.h"
#include "tests/e2e/initext.h"
#include "tests/e2e/playflow.h"
#include "tests/e2e/stagedserver.h"
#include "tests/integration/netdrv_wsclient.h"

namespace e2e {
namespace {

using Packets = std::vector<std::vector<uint8_t>>;

// The accept reply, then for each request everything the server sends up to
// and including the request's SC_CORE_RESULT; recv gives the next packet.
template <typename Send, typename Recv>
Packets Converse(const Packets& requests, Send send, Recv recv) {
    Packets got;
    std::vector<uint8_t> packet;
    if (!recv(&packet)) return got;
    got.push_back(packet);
    for (const auto& request : requests) {
        if (!send(request)) return got;
        for (;;) {
            if (!recv(&packet)) return got;
            got.push_back(packet);
            uint16_t wRequest = 0;
            if (qvc::SignalOf(packet) == SC_CORE_RESULT && qvc::ParseResult(packet, wRequest) &&
                wRequest == qvc::SignalOf(request))
                break;
        }
    }
    return got;
}

TEST(E2eWebSocketTest, ClientOnTheWebSocketPortIsServedLikeOneOnTcp) {
    StagedTree tree;
    ASSERT_EQ(tree.Create(), "");
    ASSERT_EQ(tree.AddUser("alice", 100000), "");
    const uint16_t wWsPort = PickFreePort();
    ASSERT_NE(wWsPort, 0);
    SetIniValue(tree.ConfigFile(), "ServerCore", "WebSocketPort", std::to_string(wWsPort));
    HostProcess host;
    ASSERT_EQ(host.Start(tree), "");
    EXPECT_TRUE(host.WaitFor("WebSocket 监听 127.0.0.1:" + std::to_string(wWsPort) + " 成功", 1000))
        << host.Output();

    const Packets requests = {
        qvc::MakeLogin(CS_LOBBY_CLIENT_LOGIN, u"alice", tree.LoginString("alice")),
        qvc::MakeSignalOnly(CS_GET_ROOM_LIST),
    };
    Packets overTcp;
    {
        qvc::Connection c;
        ASSERT_TRUE(c.Connect("127.0.0.1", host.Port())) << c.LastError();
        overTcp = Converse(
            requests, [&](const std::vector<uint8_t>& p) { return c.Send(p); },
            [&](std::vector<uint8_t>* p) { return c.Read(*p, kWaitMs) == qvc::Connection::ReadResult::Packet; });
    }
    ASSERT_EQ(overTcp.size(), 1 + 2 + (1 + size_t(kRoomCount) + 2)) << "accept, login, room list";
    // The lost connection logs the user out before the WebSocket login.
    ASSERT_TRUE(host.WaitFor("关闭 Session(", kWaitMs)) << host.Output();

    netdrv_test::WsClient ws;
    ASSERT_EQ(ws.Connect(wWsPort), 101);
    const Packets overWs = Converse(
        requests, [&](const std::vector<uint8_t>& p) { return ws.SendBinary(netdrv_test::Frame(p)); },
        [&](std::vector<uint8_t>* p) { return ws.RecvPacket(p, kWaitMs); });
    EXPECT_EQ(overWs, overTcp);
}

}  // namespace
}  // namespace e2e
