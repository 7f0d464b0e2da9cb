// Test fixture for the network driver: one driver and one TCP server
// listening on an ephemeral loopback port, released after each test.
// NetDrvTest runs every test once per I/O mode (the driver's I/O threads, and
// the host thread doing the I/O inside GetEvent); NetDrvHostThreadTest is for
// what only the host-thread mode promises.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "common/netdrv.h"
#include "netdrv_testutil.h"

namespace netdrv_test {

enum class IoMode { Threads, HostThread };

// dwDriverParam bits 24..25 of each mode, spelled out so that both stay
// covered whichever the default is.
constexpr uint32_t kThreadsParam = 1u << 24;
constexpr uint32_t kHostThreadParam = 2u << 24;

inline std::string IoModeName(const ::testing::TestParamInfo<IoMode>& info) {
    return info.param == IoMode::Threads ? "Threads" : "HostThread";
}

class NetDrvFixture : public ::testing::Test {
protected:
    explicit NetDrvFixture(IoMode eMode = IoMode::Threads) : m_eMode(eMode) {}
    void TearDown() override { Stop(); }

    bool HostThread() const { return m_eMode == IoMode::HostThread; }
    // dwDriverParam with this test's I/O mode.
    uint32_t Param(uint32_t dwDriverParam = 0) const {
        return dwDriverParam | (HostThread() ? kHostThreadParam : kThreadsParam);
    }

    // Creates the server and listens on 127.0.0.1 with an ephemeral port.
    void Start(int nMaxConnection = 16, uint32_t dwDriverParam = 0, const char* szAddress = "127.0.0.1") {
        m_pDrv = CreateNetDrv();
        ASSERT_NE(m_pDrv, nullptr);
        m_pServer = m_pDrv->CreateTcpServer(Param(dwDriverParam));
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
    // One framed packet for the client while the host keeps polling the
    // server (in the host-thread mode nothing is written unless it does).
    bool RecvPacketPumped(Client& c, Bytes* pPacket, int nTimeoutMs = 3000) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(nTimeoutMs);
        auto recvExact = [&](uint8_t* p, size_t n) {
            while (n) {
                m_pPump->Drain();
                pollfd pfd{c.Fd(), POLLIN, 0};
                if (::poll(&pfd, 1, 2) == 1) {
                    const ssize_t r = ::recv(c.Fd(), p, n, 0);
                    if (r <= 0) return false;
                    p += r;
                    n -= size_t(r);
                } else if (std::chrono::steady_clock::now() >= deadline) {
                    return false;
                }
            }
            return true;
        };
        uint8_t h[4];
        if (!recvExact(h, 4)) return false;
        pPacket->resize(uint32_t(h[0]) | uint32_t(h[1]) << 8 | uint32_t(h[2]) << 16 | uint32_t(h[3]) << 24);
        return recvExact(pPacket->data(), pPacket->size());
    }

    const IoMode m_eMode;
    INetDrv* m_pDrv = nullptr;
    ITcpServer* m_pServer = nullptr;
    int m_nPort = 0;
    std::unique_ptr<Pump> m_pPump;
};

class NetDrvTest : public NetDrvFixture, public ::testing::WithParamInterface<IoMode> {
protected:
    NetDrvTest() : NetDrvFixture(GetParam()) {}
};

class NetDrvHostThreadTest : public NetDrvFixture {
protected:
    NetDrvHostThreadTest() : NetDrvFixture(IoMode::HostThread) {}
};

}  // namespace netdrv_test
