// The host's sleep between two polls of the framework. It ends when the
// network driver raises its wake handle, console input arrives, a metrics
// socket has work (Linux), or the time given has passed; then it hands over
// the console input that came and serves the metrics sockets.
//
// Linux polls the wake descriptor, stdin and the metrics sockets at once. On
// Windows the wake handle is an event and stdin is read by a thread of its
// own (platform/stdinreader.h) that raises a second event; the metrics
// endpoint is not built there.
#pragma once

#include <memory>
#include <string>

class CMetricsServer;

class CHostWait {
public:
    // bConsole: read console input from stdin.
    explicit CHostWait(bool bConsole);
    ~CHostWait();
    CHostWait(const CHostWait&) = delete;
    CHostWait& operator=(const CHostWait&) = delete;

    // The driver's wake handle (Q7NetDrv_GetWakeHandle), -1 for none.
    void SetWakeHandle(int nHandle) { m_nWake = nHandle; }
    bool HasWakeHandle() const { return m_nWake >= 0; }

    // Sleeps at most nTimeoutMs (0: only looks), appends console input that
    // came to strInput, and serves pMetrics when given. False once console
    // input has ended.
    bool Wait(int nTimeoutMs, CMetricsServer* pMetrics, std::string& strInput);

private:
    struct Impl;
    int m_nWake = -1;
    bool m_bConsole;
    std::unique_ptr<Impl> m_pImpl;
};
