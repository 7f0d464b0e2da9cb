// Test helpers for the system-service tests: a temporary directory removed
// afterwards, a scoped working directory and environment variable, and a
// trace capture that listens on a channel of its own so that tests neither
// collide with each other nor with a running viewer.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "platform/traceviewer.h"
#include "projcommon/tracelog2.h"
#include "projcommon/widestring.h"
#include "tests/support/scopedenv.h"
#include "tests/support/tempdir.h"

// A temporary directory as a '/'-joined string path.
class ScopedTempDir {
public:
    ScopedTempDir() : m_path(MakeTempDirectory("qvsys").generic_string()) {}
    ~ScopedTempDir() {
        std::error_code ec;
        std::filesystem::remove_all(m_path, ec);
    }
    ScopedTempDir(const ScopedTempDir&) = delete;
    ScopedTempDir& operator=(const ScopedTempDir&) = delete;
    const std::string& Path() const { return m_path; }
    std::string operator/(const std::string& rel) const { return m_path + "/" + rel; }

private:
    std::string m_path;
};

class ScopedWorkDir {
public:
    explicit ScopedWorkDir(const std::string& dir) : m_old(std::filesystem::current_path()) {
        std::filesystem::current_path(dir);
    }
    ~ScopedWorkDir() {
        std::error_code ec;
        std::filesystem::current_path(m_old, ec);
    }
    ScopedWorkDir(const ScopedWorkDir&) = delete;
    ScopedWorkDir& operator=(const ScopedWorkDir&) = delete;

private:
    std::filesystem::path m_old;
};

// A UTF-8 text as a trace record carries it, read back as Texts() gives it:
// itself on Linux, where the narrow code page is UTF-8; on Windows what the
// ANSI code page holds of it.
inline std::string AsTraced(const std::string& strUtf8) {
    return WideToUtf8(NarrowToWide(WideToNarrow(Utf8ToWide(strUtf8))));
}

inline std::string ReadFileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

inline void WriteFileBytes(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

inline uint32_t ReadLe32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}

// Listens on a fresh channel while alive and restores the default channel.
class TraceCapture {
public:
    TraceCapture() {
        static std::atomic<int> s_nSerial{0};
        m_channel = "qvtest-" + std::to_string(getpid()) + "-" + std::to_string(s_nSerial++);
        plat::SetTraceViewerChannel(m_channel);
        m_bOpen = m_listener.Open() == 1;
    }
    ~TraceCapture() { plat::SetTraceViewerChannel(""); }
    TraceCapture(const TraceCapture&) = delete;
    TraceCapture& operator=(const TraceCapture&) = delete;

    bool IsOpen() const { return m_bOpen; }
    const std::string& Channel() const { return m_channel; }

    // Every datagram queued so far (a send has queued it when it returns),
    // as raw bytes.
    std::vector<std::string> Drain() {
        std::vector<std::string> out;
        for (;;) {
            std::string buf(4096, '\0');
            int64_t n = m_listener.Receive(buf.data(), buf.size(), 0);
            if (n <= 0) break;
            buf.resize(static_cast<size_t>(std::min<int64_t>(n, 4096)));
            out.push_back(std::move(buf));
        }
        return out;
    }

    // Drain, reduced to "<level>:<text>" of each record ("?" for a record
    // of the wrong size).
    // Level and text of each record, the text in UTF-8 (records carry the
    // narrow code page's text, which is UTF-8 only on Linux).
    std::vector<std::string> Texts() {
        std::vector<std::string> out;
        for (const auto& r : Drain()) {
            const char* pText = r.data() + kTraceRecordText;
            out.push_back(r.size() != sizeof(TraceViewerRecord)
                              ? std::string("?")
                              : std::to_string(static_cast<uint8_t>(r[0])) + ":" +
                                    WideToUtf8(NarrowToWide(std::string(pText, strnlen(pText, 1024)))));
        }
        return out;
    }

private:
    std::string m_channel;
    plat::TraceViewerListener m_listener;
    bool m_bOpen = false;
};
