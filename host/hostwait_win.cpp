// CHostWait of hostwait.h on Windows: a wait on the driver's wake event and
// on an event the stdin reader thread raises after each read.
#include "host/hostwait.h"

#include <windows.h>

#include <cstdint>

#include "platform/stdinreader.h"

struct CHostWait::Impl {
    HANDLE hConsole = nullptr;  // auto-reset: raised by the reader after a read
    std::unique_ptr<plat::StdinReader> pReader;
};

CHostWait::CHostWait(bool bConsole) : m_bConsole(bConsole), m_pImpl(std::make_unique<Impl>()) {
    if (!m_bConsole) return;
    m_pImpl->hConsole = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);
    HANDLE h = m_pImpl->hConsole;
    m_pImpl->pReader = std::make_unique<plat::StdinReader>([h] {
        if (h) ::SetEvent(h);
    });
}

CHostWait::~CHostWait() {
    m_pImpl->pReader.reset();  // its notifier no longer runs after this
    if (m_pImpl->hConsole) ::CloseHandle(m_pImpl->hConsole);
}

bool CHostWait::Wait(int nTimeoutMs, CMetricsServer*, std::string& strInput) {
    HANDLE aHandles[2];
    DWORD nHandles = 0;
    if (m_nWake >= 0) aHandles[nHandles++] = reinterpret_cast<HANDLE>(static_cast<intptr_t>(m_nWake));
    if (m_pImpl->hConsole) aHandles[nHandles++] = m_pImpl->hConsole;
    const DWORD dwTimeout = nTimeoutMs > 0 ? static_cast<DWORD>(nTimeoutMs) : 0;
    if (nHandles > 0) ::WaitForMultipleObjects(nHandles, aHandles, FALSE, dwTimeout);
    else if (dwTimeout > 0) ::Sleep(dwTimeout);
    return m_pImpl->pReader ? m_pImpl->pReader->Take(strInput) : true;
}
