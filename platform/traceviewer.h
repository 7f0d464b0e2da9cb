// The channel from trace logs to a trace viewer, standing in for finding the
// viewer's window and sending it WM_COPYDATA. A record travels unchanged as
// one datagram on a Unix datagram socket in the abstract namespace whose name
// is the viewer's window class; the viewer is whoever listens there. No
// listener means no viewer.
//
// Sending never blocks and never fails its caller: without a viewer, or when
// the viewer's queue is full, the record is dropped (unlike the synchronous
// window message, a slow viewer cannot stall the server).
//
// On Windows it is the window message itself: the viewer is the window of
// the channel's window class (FindWindowW, or a message-only window), and a
// record is one WM_COPYDATA sent with a short time-out that gives up a hung
// viewer at once. A listener's own thread takes the messages of its
// message-only window into a bounded queue, so a sender waits only for that
// copy and a full queue drops the record.
// Thread-safe; the channel name may be changed while others send.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace plat {

// The viewer's window class, the channel's default name.
inline constexpr char kTraceViewerClass[] = "262169CD-6A70-4910-A190-0C3618342AE2";
// Longest channel name (the abstract socket address holds 107 bytes).
inline constexpr size_t kMaxTraceChannelName = 107;

// The name senders and new listeners use; kTraceViewerClass until changed.
std::string GetTraceViewerChannel();
// Moves the channel (tests, or several viewers side by side); an empty name
// restores kTraceViewerClass, a longer one than kMaxTraceChannelName is cut.
void SetTraceViewerChannel(std::string_view name);

// Offers one record to the viewer. 1 when a viewer took it into its queue,
// 0 when it was dropped.
int SendToTraceViewer(const void* pRecord, size_t nSize);

// The viewer's end of the channel. One listener per channel name at a time.
// Used by one thread at a time.
class TraceViewerListener {
public:
    TraceViewerListener();  // closed
    ~TraceViewerListener();
    TraceViewerListener(const TraceViewerListener&) = delete;
    TraceViewerListener& operator=(const TraceViewerListener&) = delete;

    // Listens on the current channel. 1/0; 0 with error 183 when another
    // viewer already listens there.
    int Open();
    bool IsOpen() const { return m_pEndpoint != nullptr; }
    void Close();

    // Waits up to nTimeoutMs (0xFFFFFFFF: no limit) for a record and copies
    // at most nCap of its bytes. Returns the record's full size (larger than
    // nCap when it was cut), 0 on time-out or when a signal interrupted the
    // wait, -1 on error.
    int64_t Receive(void* pBuffer, size_t nCap, uint32_t nTimeoutMs);

private:
    struct Endpoint;                       // the platform's receiving end
    std::unique_ptr<Endpoint> m_pEndpoint;  // null while closed
};

}  // namespace plat
