// Test fixture for the network driver: one driver and one TCP server
// listening on an ephemeral loopback port, released after each test.
#pragma once

#include <gtest/gtest.h>

#include "common/netdrv.h"
#include "netdrv_testutil.h"

namespace netdrv_test {

class NetDrvTest : public ::testing::Test {
protected:
    void TearDown() override { Stop(); }

    // Creates the server and listens on 127.0.0.1 with an ephemeral port.
    void Start(int nMaxConnection = 16, uint32_t dwDriverParam = 0, const char* szAddress = "127.0.0.1") {
        m_pDrv = CreateNetDrv();
        ASSERT_NE(m_pDrv, nullptr);
        m_pServer = m_pDrv->CreateTcpServer(dwDriverParam);
        ASSERT_NE(m_pServer, nullptr);
        ASSERT_TRUE(m_pServer->Listen(szAddress, 0, nMaxConnection));
        m_nPort = m_pServer->GetListenPort();
        ASSERT_GT(m_nPort, 0);
        m_pPump = std::make_unique<Pump>(m_pServer);
    }
    void Stop() {
        m_pPump.reset();
        if (m_pServer) m_pServer->Release();
        if (m_pDrv) m_pDrv->Release();
        m_pServer = nullptr;
        m_pDrv = nullptr;
    }
    // Connects a client and waits for its CONNECTED event; returns its index.
    int ConnectClient(Client& c, int nRecvBuf = 0) {
        const size_t nBefore = m_pPump->Count(NETDRVEVENT_CONNECTED);
        if (!c.Connect(m_nPort, false, nRecvBuf)) return -1;
        if (!m_pPump->WaitCount(NETDRVEVENT_CONNECTED, nBefore + 1)) return -1;
        return m_pPump->ConnectedIndex(nBefore);
    }

    INetDrv* m_pDrv = nullptr;
    ITcpServer* m_pServer = nullptr;
    int m_nPort = 0;
    std::unique_ptr<Pump> m_pPump;
};

}  // namespace netdrv_test
