// StdinReader of stdinreader.h: a detached thread over descriptor 0.
#include "platform/stdinreader.h"

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

#include <cerrno>
#include <mutex>
#include <thread>

namespace plat {

struct StdinReader::Shared {
    std::mutex mutex;
    std::string strPending;
    bool bEnded = false;
    std::function<void()> onInput;
};

namespace {
long ReadStdin(char* p, unsigned n) {
#ifdef _WIN32
    return _read(0, p, n);
#else
    return static_cast<long>(::read(0, p, n));
#endif
}
}  // namespace

StdinReader::StdinReader(std::function<void()> onInput) : m_pShared(std::make_shared<Shared>()) {
    m_pShared->onInput = std::move(onInput);
    std::thread([p = m_pShared] {
        char buf[4096];
        for (;;) {
            const long n = ReadStdin(buf, sizeof(buf));
            if (n < 0 && errno == EINTR) continue;
            std::lock_guard<std::mutex> g(p->mutex);
            if (n > 0) p->strPending.append(buf, static_cast<size_t>(n));
            else p->bEnded = true;
            // Under the lock, so that once the owner is gone it never runs.
            if (p->onInput) p->onInput();
            if (n <= 0) return;
        }
    }).detach();
}

StdinReader::~StdinReader() {
    std::lock_guard<std::mutex> g(m_pShared->mutex);
    m_pShared->onInput = nullptr;
}

bool StdinReader::Take(std::string& strOut) {
    std::lock_guard<std::mutex> g(m_pShared->mutex);
    strOut += m_pShared->strPending;
    m_pShared->strPending.clear();
    return !m_pShared->bEnded;
}

}  // namespace plat
