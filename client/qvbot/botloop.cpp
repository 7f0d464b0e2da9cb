#include "client/qvbot/botloop.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>

#include "games/example/diceprotocol.h"
#include "projcommon/loginstring.h"
#include "projcommon/widestring.h"

namespace qvbot {

namespace {
constexpr size_t kReadChunk = 64 * 1024;      // bytes read per read() call
constexpr size_t kFeedChunk = 4 * 1024;       // bytes handed to a decoder at a time, to keep its buffer small
constexpr int kReadsPerEvent = 8;             // read() calls per readable event before others get a turn
constexpr size_t kMaxQueuedBytes = 16u << 20; // unsent bytes per connection before it counts as stuck
constexpr int kMaxEvents = 1024;
constexpr int64_t kTickNs = 100'000'000;      // time-outs and keep-alives
constexpr int64_t kProgressNs = 1'000'000'000;
constexpr int64_t kNsPerSecond = 1'000'000'000;
constexpr double kMinCpuWindowSeconds = 0.5;  // shortest window a CPU share is reported for

double SecondsOf(int64_t nNs) { return static_cast<double>(nNs) / kNsPerSecond; }

// utime + stime of a process in seconds, -1 when it cannot be read.
double ProcessCpuSeconds(int nPid) {
    std::ifstream f("/proc/" + std::to_string(nPid) + "/stat");
    std::string strLine;
    if (!std::getline(f, strLine)) return -1;
    const size_t nParen = strLine.rfind(')');
    if (nParen == std::string::npos) return -1;
    std::istringstream in(strLine.substr(nParen + 2));
    std::string strField;
    unsigned long long nUser = 0, nSystem = 0;
    // Fields from the state (3rd) on; utime and stime are the 14th and 15th.
    for (int i = 3; i <= 13 && (in >> strField); ++i) {}
    if (!(in >> nUser >> nSystem)) return -1;
    return static_cast<double>(nUser + nSystem) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// VmRSS of a process in KiB, -1 when it cannot be read.
double ProcessRssKiB(int nPid) {
    std::ifstream f("/proc/" + std::to_string(nPid) + "/status");
    for (std::string strLine; std::getline(f, strLine);)
        if (strLine.rfind("VmRSS:", 0) == 0) return std::strtod(strLine.c_str() + 6, nullptr);
    return -1;
}

double OwnCpuSeconds() {
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
           static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

// The step whose rate the progress line shows for a part.
Step ProgressStep(Phase p) {
    switch (p) {
        case Phase::Setup: return Step::Join;
        case Phase::Play: return Step::Round;
        case Phase::Pings: case Phase::Ping: return Step::Ping;
        case Phase::Hello: case Phase::Chat: return Step::Chat;
        case Phase::Idle: return Step::Hold;
        case Phase::Leave: return Step::Logout;
    }
    return Step::Join;
}

// The steps whose rate is taken over a part's length (timed phases use their window).
std::vector<Step> StepsOf(Phase p) {
    switch (p) {
        case Phase::Setup:
            return {Step::Connect, Step::Login, Step::Version, Step::RoomList, Step::Buy, Step::JoinRoom,
                    Step::GameConnect, Step::GameLogin, Step::GameVersion, Step::Ready, Step::Join};
        case Phase::Play: return {Step::Round};
        case Phase::Pings: return {Step::Ping};
        case Phase::Hello: return {Step::Chat};
        case Phase::Ping: return {Step::Ping};
        case Phase::Chat: return {Step::Chat, Step::ChatRecv};
        case Phase::Idle: return {Step::Hold};
        case Phase::Leave: return {Step::Logout};
    }
    return {};
}

bool IsTimed(Phase p) { return p == Phase::Ping || p == Phase::Chat || p == Phase::Idle; }
}  // namespace

int64_t NowNs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * kNsPerSecond + ts.tv_nsec;
}

BotLoop::BotLoop(const Options& opt, BotStats& stats) : m_opt(opt), m_stats(stats) {
    m_plan.nVersion = kDiceGameVersion;
    m_plan.nRounds = opt.nRounds;
    m_plan.nPings = opt.nPings;
    m_plan.nInflight = opt.nInflight;
    m_plan.nBodyBytes = static_cast<size_t>(opt.nBodyBytes);
    m_plan.nStepTimeoutNs = static_cast<int64_t>(opt.nTimeoutMs) * 1'000'000;
    m_plan.nKeepAliveNs = static_cast<int64_t>(opt.dKeepAliveSeconds * kNsPerSecond);
    const std::u16string strLogin =
        opt.bHaveKey ? MakeLoginString(opt.nKey, static_cast<uint64_t>(std::time(nullptr))) : std::u16string();
    m_aBots.reserve(static_cast<size_t>(opt.nCount));
    for (int i = 0; i < opt.nCount; ++i) {
        const int nNumber = opt.nFirst + i;
        m_aBots.emplace_back(i, static_cast<uint32_t>(nNumber), Utf8ToWide(opt.strPrefix + std::to_string(nNumber)),
                             strLogin, static_cast<uint16_t>(opt.nRoomBase + i / kDicePlayerSeats), m_plan, *this,
                             m_stats);
    }
    m_aSockets.resize(2 * static_cast<size_t>(opt.nCount));
    m_pScratch = std::make_unique<uint8_t[]>(kReadChunk);
}

BotLoop::~BotLoop() {
    for (Socket& s : m_aSockets) CloseSocket(s);
    if (m_epoll >= 0) ::close(m_epoll);
}

bool BotLoop::Init(std::string& strError) {
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* pList = nullptr;
    const std::string strPort = std::to_string(m_opt.wPort);
    const int rc = getaddrinfo(m_opt.strHost.c_str(), strPort.c_str(), &hints, &pList);
    if (rc != 0 || !pList) {
        strError = "cannot resolve " + m_opt.strHost + ": " + gai_strerror(rc);
        return false;
    }
    const auto* p = reinterpret_cast<const uint8_t*>(pList->ai_addr);
    m_addr.assign(p, p + pList->ai_addrlen);
    freeaddrinfo(pList);
    m_epoll = epoll_create1(EPOLL_CLOEXEC);
    if (m_epoll < 0) {
        strError = std::string("epoll_create1: ") + std::strerror(errno);
        return false;
    }
    return true;
}

// ---- BotLink ----

void BotLoop::Connect(int nSlot, Conn c) {
    const uint32_t nIndex = 2 * static_cast<uint32_t>(nSlot) + static_cast<uint32_t>(c);
    Socket& s = m_aSockets[nIndex];
    CloseSocket(s);
    const auto* pAddr = reinterpret_cast<const sockaddr*>(m_addr.data());
    s.fd = ::socket(pAddr->sa_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (s.fd < 0) {
        m_aLateFailures.emplace_back(nIndex, std::string("socket: ") + std::strerror(errno));
        return;
    }
    const int nOne = 1;
    setsockopt(s.fd, IPPROTO_TCP, TCP_NODELAY, &nOne, sizeof(nOne));
    if (::connect(s.fd, pAddr, static_cast<socklen_t>(m_addr.size())) != 0 && errno != EINPROGRESS) {
        const int nErr = errno;
        CloseSocket(s);
        m_aLateFailures.emplace_back(nIndex, std::strerror(nErr));
        return;
    }
    s.bConnecting = true;
    epoll_event ev{};
    ev.events = EPOLLOUT;
    ev.data.u32 = nIndex;
    epoll_ctl(m_epoll, EPOLL_CTL_ADD, s.fd, &ev);
    s.bOutArmed = true;
}

void BotLoop::Send(int nSlot, Conn c, std::span<const uint8_t> packet) {
    const uint32_t nIndex = 2 * static_cast<uint32_t>(nSlot) + static_cast<uint32_t>(c);
    Socket& s = m_aSockets[nIndex];
    if (s.fd < 0) return;
    qvc::AppendFrame(s.aOut, packet);
    if (!s.bDirty && !s.bConnecting) {
        s.bDirty = true;
        m_aDirty.push_back(nIndex);
    }
}

void BotLoop::Close(int nSlot, Conn c) {
    CloseSocket(m_aSockets[2 * static_cast<size_t>(nSlot) + static_cast<size_t>(c)]);
}

void BotLoop::Reached(int nSlot) {
    (void)nSlot;
    --m_nBusy;
}

// ---- sockets ----

void BotLoop::CloseSocket(Socket& s) {
    if (s.fd >= 0) ::close(s.fd);  // closing removes it from the epoll set
    s.fd = -1;
    s.bConnecting = false;
    s.bOutArmed = false;
    std::vector<uint8_t>().swap(s.aOut);
    s.nOutOff = 0;
    s.decoder = qvc::FrameDecoder();
}

void BotLoop::Drop(uint32_t nIndex, const std::string& strWhy) {
    CloseSocket(m_aSockets[nIndex]);
    m_aBots[nIndex / 2].OnClosed(static_cast<Conn>(nIndex % 2), strWhy, NowNs());
}

void BotLoop::SetInterest(uint32_t nIndex, bool bOut) {
    Socket& s = m_aSockets[nIndex];
    if (s.fd < 0 || s.bOutArmed == bOut) return;
    epoll_event ev{};
    ev.events = EPOLLIN | (bOut ? static_cast<uint32_t>(EPOLLOUT) : 0u);
    ev.data.u32 = nIndex;
    epoll_ctl(m_epoll, EPOLL_CTL_MOD, s.fd, &ev);
    s.bOutArmed = bOut;
}

void BotLoop::Flush(uint32_t nIndex) {
    Socket& s = m_aSockets[nIndex];
    while (s.fd >= 0 && s.nOutOff < s.aOut.size()) {
        const ssize_t n = ::send(s.fd, s.aOut.data() + s.nOutOff, s.aOut.size() - s.nOutOff, MSG_NOSIGNAL);
        if (n > 0) {
            s.nOutOff += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (s.aOut.size() - s.nOutOff > kMaxQueuedBytes) {
                Drop(nIndex, "the server stopped reading (over 16 MiB unsent)");
                return;
            }
            SetInterest(nIndex, true);
            return;
        }
        Drop(nIndex, std::string("send: ") + std::strerror(errno));
        return;
    }
    if (s.fd < 0) return;
    s.aOut.clear();
    s.nOutOff = 0;
    SetInterest(nIndex, false);
}

void BotLoop::FlushDirty() {
    // Flushing may fail a bot, whose sends then append to the list: walk by index.
    for (size_t i = 0; i < m_aDirty.size(); ++i) {
        const uint32_t nIndex = m_aDirty[i];
        m_aSockets[nIndex].bDirty = false;
        Flush(nIndex);
    }
    m_aDirty.clear();
}

void BotLoop::ReadFrom(uint32_t nIndex) {
    Socket& s = m_aSockets[nIndex];
    Bot& bot = m_aBots[nIndex / 2];
    const Conn c = static_cast<Conn>(nIndex % 2);
    std::vector<uint8_t> packet;
    for (int nRead = 0; nRead < kReadsPerEvent && s.fd >= 0; ++nRead) {
        const ssize_t n = ::recv(s.fd, m_pScratch.get(), kReadChunk, 0);
        if (n == 0) {
            Drop(nIndex, "by the server");
            return;
        }
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) return;
            Drop(nIndex, std::string("recv: ") + std::strerror(errno));
            return;
        }
        const int64_t nNow = NowNs();
        for (size_t nOff = 0; nOff < static_cast<size_t>(n) && s.fd >= 0; nOff += kFeedChunk) {
            s.decoder.Feed(m_pScratch.get() + nOff, std::min(kFeedChunk, static_cast<size_t>(n) - nOff));
            for (;;) {
                const qvc::FrameDecoder::Result r = s.decoder.Next(packet);
                if (r == qvc::FrameDecoder::Result::NeedMore) break;
                if (r == qvc::FrameDecoder::Result::Bad) {
                    Drop(nIndex, "a frame length out of range from the server");
                    return;
                }
                bot.OnPacket(c, packet, nNow);
                if (s.fd < 0) return;  // the bot gave up on this connection
            }
        }
        if (static_cast<size_t>(n) < kReadChunk) return;
    }
}

void BotLoop::OnEvent(uint32_t nIndex, uint32_t nEvents) {
    Socket& s = m_aSockets[nIndex];
    if (s.fd < 0) return;
    if (s.bConnecting) {
        int nErr = 0;
        socklen_t nLen = sizeof(nErr);
        getsockopt(s.fd, SOL_SOCKET, SO_ERROR, &nErr, &nLen);
        if (nErr != 0) {
            Drop(nIndex, std::strerror(nErr));
            return;
        }
        s.bConnecting = false;
        s.bOutArmed = true;  // forces the change below
        SetInterest(nIndex, false);
        m_aBots[nIndex / 2].OnConnected(static_cast<Conn>(nIndex % 2), NowNs());
        return;
    }
    if (nEvents & EPOLLOUT) Flush(nIndex);
    if (s.fd >= 0 && (nEvents & (EPOLLIN | EPOLLHUP | EPOLLERR))) ReadFrom(nIndex);
}

void BotLoop::Poll(int nTimeoutMs) {
    epoll_event aEvents[kMaxEvents];
    const int n = epoll_wait(m_epoll, aEvents, kMaxEvents, nTimeoutMs);
    for (int i = 0; i < n; ++i) OnEvent(aEvents[i].data.u32, aEvents[i].events);
    // Connects refused at once are reported here, outside the bot's own call.
    while (!m_aLateFailures.empty()) {
        std::vector<std::pair<uint32_t, std::string>> aLate;
        aLate.swap(m_aLateFailures);
        for (auto& [nIndex, strWhy] : aLate)
            m_aBots[nIndex / 2].OnClosed(static_cast<Conn>(nIndex % 2), strWhy, NowNs());
    }
    FlushDirty();
}

// ---- parts ----

void BotLoop::Tick(int64_t nNow) {
    if (nNow - m_nLastTick < kTickNs) return;
    m_nLastTick = nNow;
    for (Bot& b : m_aBots) b.OnTick(nNow);
}

int BotLoop::Live() const {
    return static_cast<int>(std::count_if(m_aBots.begin(), m_aBots.end(), [](const Bot& b) { return !b.Failed(); }));
}

void BotLoop::Progress(Phase p, int64_t nNow, int64_t nPartStart) {
    if (nNow - m_nLastProgress < kProgressNs) return;
    const double dSince = SecondsOf(nNow - m_nLastProgress);
    m_nLastProgress = nNow;
    const Step s = ProgressStep(p);
    const uint64_t nDone = m_stats.Done(s);
    const int nFailed = static_cast<int>(m_aBots.size()) - Live();
    std::fprintf(stderr, "qvbot: %s %.0f s: %d/%zu bots busy, %d failed, %llu %s (%.0f/s)\n", PhaseName(p),
                 SecondsOf(nNow - nPartStart), m_nBusy, m_aBots.size(), nFailed,
                 static_cast<unsigned long long>(nDone), StepName(s),
                 dSince > 0 ? static_cast<double>(nDone - m_nLastProgressDone) / dSince : 0.0);
    m_nLastProgressDone = nDone;
}

BotLoop::Sample BotLoop::Measure(int64_t nNow) const {
    Sample s;
    s.nAt = nNow;
    s.dOwnCpu = OwnCpuSeconds();
    if (m_opt.nServerPid > 0) s.dServerCpu = ProcessCpuSeconds(m_opt.nServerPid);
    return s;
}

void BotLoop::Report(Phase p, const Sample& from, const Sample& to, double dPartSeconds) {
    const std::string strName = PhaseName(p);
    m_stats.SetFigure(strName + "_seconds", dPartSeconds);
    const double dWindow = SecondsOf(to.nAt - from.nAt);
    if (dWindow < kMinCpuWindowSeconds) return;  // clock ticks would make a shorter share meaningless
    m_stats.SetFigure("qvbot_cpu_pct_" + strName, 100 * (to.dOwnCpu - from.dOwnCpu) / dWindow);
    if (from.dServerCpu >= 0 && to.dServerCpu >= 0)
        m_stats.SetFigure("server_cpu_pct_" + strName, 100 * (to.dServerCpu - from.dServerCpu) / dWindow);
}

void BotLoop::RunPart(Phase p) {
    const int64_t nStart = NowNs();
    int64_t nWindowStart = nStart, nWindowEnd = nStart;
    if (p == Phase::Ping || p == Phase::Chat) {
        nWindowStart = nStart + static_cast<int64_t>(m_opt.dWarmupSeconds * kNsPerSecond);
        const double d = p == Phase::Ping ? m_opt.dPingSeconds : m_opt.dChatSeconds;
        nWindowEnd = nWindowStart + static_cast<int64_t>(d * kNsPerSecond);
    } else if (p == Phase::Idle) {
        nWindowEnd = nStart + static_cast<int64_t>(m_opt.dIdleSeconds * kNsPerSecond);
    }
    m_nLastProgress = nStart;
    m_nLastProgressDone = m_stats.Done(ProgressStep(p));
    // Setup and leave go at most --concurrency users at a time (each user's
    // latency then shows the server's answer time, not the length of a queue
    // of thousands); the phases start every live user at once.
    const bool bStaggered = p == Phase::Setup || p == Phase::Leave;
    size_t nNext = 0;
    if (!bStaggered) {
        for (Bot& b : m_aBots) {
            if (b.Failed()) continue;
            ++m_nBusy;
            b.Begin(p, nStart, nWindowStart, nWindowEnd);
        }
        nNext = m_aBots.size();
    }
    Sample from, to;
    bool bFrom = false, bTo = false;
    for (;;) {
        if (bStaggered) {
            while (m_nBusy < m_opt.nConcurrency && nNext < m_aBots.size()) {
                Bot& b = m_aBots[nNext++];
                if (b.Failed()) continue;
                ++m_nBusy;
                b.Begin(p, NowNs());
            }
            FlushDirty();
        }
        const int64_t nNow = NowNs();
        if (!bFrom && nNow >= nWindowStart) { from = Measure(nNow); bFrom = true; }
        if (IsTimed(p) && !bTo && nNow >= nWindowEnd) { to = Measure(nNow); bTo = true; }
        const bool bDone = m_nBusy <= 0 && nNext == m_aBots.size();
        if (bDone) break;
        Poll(static_cast<int>(kTickNs / 1'000'000));
        const int64_t nAfter = NowNs();
        Tick(nAfter);
        FlushDirty();
        Progress(p, nAfter, nStart);
    }
    const int64_t nEnd = NowNs();
    if (!bTo) to = Measure(nEnd);
    const double dPart = SecondsOf(nEnd - nStart);
    const double dSpan = IsTimed(p) ? SecondsOf(nWindowEnd - nWindowStart) : dPart;
    for (Step s : StepsOf(p)) m_stats.AddSpan(s, dSpan);
    Report(p, from, to, dPart);
    std::fprintf(stderr, "qvbot: %s done in %.1f s, %d bots running, %zu failed\n", PhaseName(p), dPart, Live(),
                 m_aBots.size() - static_cast<size_t>(Live()));
}

int BotLoop::Run() {
    if (m_opt.nServerPid > 0) m_dServerRssBefore = ProcessRssKiB(m_opt.nServerPid);
    std::vector<Phase> aParts = {Phase::Setup};
    aParts.insert(aParts.end(), m_opt.aPhases.begin(), m_opt.aPhases.end());
    aParts.push_back(Phase::Leave);
    for (Phase p : aParts) {
        RunPart(p);
        if (p == Phase::Setup) {
            m_nSeated = Live();
            m_stats.SetFigure("seated", m_nSeated);
        }
        const bool bMeasureRss = m_opt.nServerPid > 0 && (p == Phase::Setup || p == Phase::Idle);
        if (!bMeasureRss || m_dServerRssBefore < 0) continue;
        const double dRss = ProcessRssKiB(m_opt.nServerPid);
        const std::string strWhen = p == Phase::Setup ? "seated" : "idle_end";
        m_stats.SetFigure("server_rss_kib_" + strWhen, dRss);
        if (dRss >= 0 && m_nSeated > 0)
            m_stats.SetFigure("server_rss_per_user_bytes_" + strWhen, (dRss - m_dServerRssBefore) * 1024 / m_nSeated);
    }
    if (m_dServerRssBefore >= 0) m_stats.SetFigure("server_rss_kib_before", m_dServerRssBefore);
    return static_cast<int>(m_aBots.size()) - Live();
}

}  // namespace qvbot
