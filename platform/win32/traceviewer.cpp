#include "platform/traceviewer.h"

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <chrono>
#include <deque>
#include <future>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/lasterror.h"
#include "platform/textconv.h"
#include "platform/win32/winapi.h"

// The viewer is a window of the channel's window class, found with
// FindWindowW (a top-level viewer window) or among the message-only windows;
// a record travels as the data of one WM_COPYDATA message.
//
// A listener runs a thread of its own that owns its message-only window and
// pumps its messages: the window procedure copies each record into a
// bounded queue and answers at once, so a sender waits only for that copy,
// whatever the viewer does meanwhile, and a full queue drops the record as a
// full socket queue would. Receive takes records from the queue.

namespace plat {
namespace {

// How long a sender waits for a viewer's answer; a hung viewer is given up
// at once (SMTO_ABORTIFHUNG).
constexpr UINT kSendTimeoutMs = 200;
// What a listener holds before it drops records.
constexpr size_t kMaxQueuedRecords = 256;
constexpr size_t kMaxQueuedBytes = size_t{4} << 20;

std::mutex g_channelMutex;

// Made on first use, so that tracing from other static initialisers is safe.
std::string& Channel() {
    static std::string s_strChannel = kTraceViewerClass;
    return s_strChannel;
}

std::u16string WindowClassOf(const std::string& strChannel) { return Utf8ToWide(strChannel); }

HWND FindViewer(const std::u16string& strClass) {
    HWND h = ::FindWindowW(win::Wide(strClass), nullptr);
    return h ? h : ::FindWindowExW(HWND_MESSAGE, nullptr, win::Wide(strClass), nullptr);
}

// The name of the mutex that makes one listener per channel on this
// machine's session: a window class is private to its process, so two
// processes could register the same one.
std::u16string ListenerMutexName(const std::u16string& strClass) {
    std::u16string strName = u"Local\\QuorvelS-trace-viewer-" + strClass;
    std::replace(strName.begin() + 6, strName.end(), u'\\', u'_');  // '\' only after the namespace
    return strName;
}

}  // namespace

struct TraceViewerListener::Endpoint {
    std::u16string strClass;
    win::UniqueHandle hMutex;  // held while listening
    HWND hWindow = nullptr;    // owned by thread
    std::thread thread;

    std::mutex mutex;
    std::condition_variable cvReceived;
    std::deque<std::string> aQueue;  // guarded by mutex
    size_t nQueuedBytes = 0;         // guarded by mutex

    // Takes one record into the queue; false when it is full.
    bool Accept(const void* p, size_t n) {
        std::lock_guard<std::mutex> lock(mutex);
        if (aQueue.size() >= kMaxQueuedRecords || n > kMaxQueuedBytes - nQueuedBytes) return false;
        aQueue.emplace_back(static_cast<const char*>(p), n);
        nQueuedBytes += n;
        cvReceived.notify_one();
        return true;
    }

    static LRESULT CALLBACK WindowProc(HWND hWnd, UINT nMsg, WPARAM wParam, LPARAM lParam) {
        if (nMsg == WM_NCCREATE) {
            auto* pCreate = reinterpret_cast<CREATESTRUCTW*>(lParam);
            ::SetWindowLongPtrW(hWnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(pCreate->lpCreateParams));
        }
        auto* pSelf = reinterpret_cast<Endpoint*>(::GetWindowLongPtrW(hWnd, GWLP_USERDATA));
        switch (nMsg) {
            case WM_COPYDATA: {
                const auto* pData = reinterpret_cast<const COPYDATASTRUCT*>(lParam);
                return pSelf && pData && pSelf->Accept(pData->lpData, pData->cbData) ? TRUE : FALSE;
            }
            case WM_CLOSE: ::DestroyWindow(hWnd); return 0;
            case WM_DESTROY: ::PostQuitMessage(0); return 0;
            default: return ::DefWindowProcW(hWnd, nMsg, wParam, lParam);
        }
    }

    // The thread: registers the class, makes the window, tells the opener
    // the result (0 or the reason) and pumps until the window is
    // closed.
    void Run(std::promise<DWORD> result) {
        WNDCLASSEXW wc{};
        wc.cbSize = sizeof(wc);
        wc.lpfnWndProc = WindowProc;
        wc.hInstance = ::GetModuleHandleW(nullptr);
        wc.lpszClassName = win::Wide(strClass);
        if (!::RegisterClassExW(&wc)) {
            result.set_value(::GetLastError());
            return;
        }
        hWindow = ::CreateWindowExW(0, win::Wide(strClass), L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, wc.hInstance,
                                    this);
        if (!hWindow) {
            result.set_value(::GetLastError());
            ::UnregisterClassW(win::Wide(strClass), wc.hInstance);
            return;
        }
        result.set_value(0);
        MSG msg;
        while (::GetMessageW(&msg, nullptr, 0, 0) > 0) ::DispatchMessageW(&msg);
        ::UnregisterClassW(win::Wide(strClass), wc.hInstance);
    }
};

std::string GetTraceViewerChannel() {
    std::lock_guard<std::mutex> lock(g_channelMutex);
    return Channel();
}

void SetTraceViewerChannel(std::string_view name) {
    std::lock_guard<std::mutex> lock(g_channelMutex);
    Channel() = name.empty() ? std::string(kTraceViewerClass) : std::string(name.substr(0, kMaxTraceChannelName));
}

int SendToTraceViewer(const void* pRecord, size_t nSize) {
    if (nSize > MAXDWORD) return 0;
    HWND hViewer = FindViewer(WindowClassOf(GetTraceViewerChannel()));
    if (!hViewer) return 0;
    COPYDATASTRUCT data{0, static_cast<DWORD>(nSize), const_cast<void*>(pRecord)};
    DWORD_PTR nAnswer = FALSE;
    const LRESULT nSent = ::SendMessageTimeoutW(hViewer, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&data),
                                                SMTO_ABORTIFHUNG | SMTO_BLOCK, kSendTimeoutMs, &nAnswer);
    return nSent != 0 && nAnswer != FALSE ? 1 : 0;
}

TraceViewerListener::TraceViewerListener() = default;

TraceViewerListener::~TraceViewerListener() { Close(); }

int TraceViewerListener::Open() {
    Close();
    auto pEndpoint = std::make_unique<Endpoint>();
    pEndpoint->strClass = WindowClassOf(GetTraceViewerChannel());
    pEndpoint->hMutex.Reset(::CreateMutexW(nullptr, FALSE, win::Wide(ListenerMutexName(pEndpoint->strClass))));
    if (!pEndpoint->hMutex || ::GetLastError() == ERROR_ALREADY_EXISTS || FindViewer(pEndpoint->strClass)) {
        SetLastError(pEndpoint->hMutex ? kErrorAlreadyExists : ::GetLastError());
        return 0;
    }
    std::promise<DWORD> result;
    std::future<DWORD> started = result.get_future();
    pEndpoint->thread = std::thread(&Endpoint::Run, pEndpoint.get(), std::move(result));
    const DWORD dwError = started.get();
    if (dwError != 0) {
        pEndpoint->thread.join();
        SetLastError(dwError == ERROR_CLASS_ALREADY_EXISTS ? kErrorAlreadyExists : dwError);
        return 0;
    }
    m_pEndpoint = std::move(pEndpoint);
    return 1;
}

void TraceViewerListener::Close() {
    if (!m_pEndpoint) return;
    ::PostMessageW(m_pEndpoint->hWindow, WM_CLOSE, 0, 0);
    m_pEndpoint->thread.join();
    m_pEndpoint.reset();
}

int64_t TraceViewerListener::Receive(void* pBuffer, size_t nCap, uint32_t nTimeoutMs) {
    if (!m_pEndpoint) return -1;
    Endpoint& e = *m_pEndpoint;
    std::unique_lock<std::mutex> lock(e.mutex);
    const auto ready = [&e] { return !e.aQueue.empty(); };
    if (nTimeoutMs == 0xFFFFFFFFu) {
        e.cvReceived.wait(lock, ready);
    } else if (!e.cvReceived.wait_for(lock, std::chrono::milliseconds(nTimeoutMs), ready)) {
        return 0;
    }
    std::string strRecord = std::move(e.aQueue.front());
    e.aQueue.pop_front();
    e.nQueuedBytes -= strRecord.size();
    lock.unlock();
    std::memcpy(pBuffer, strRecord.data(), std::min(nCap, strRecord.size()));
    return static_cast<int64_t>(strRecord.size());
}

}  // namespace plat
