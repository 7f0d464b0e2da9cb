// qvtraceview: the trace viewer. Listens on the viewer channel and prints
// every record a trace log sends as one UTF-8 line:
//   [<level>.<thread, 8 hex digits>] <local time> <process id> <log name> > <text>
// Runs until SIGINT or SIGTERM, or until --count records were printed.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "platform/byteorder.h"
#include "platform/lasterror.h"
#include "platform/process.h"
#include "platform/traceviewer.h"
#include "projcommon/tracelog2.h"
#include "projcommon/widestring.h"

namespace {

// How often the wait for records looks at the stop flag.
constexpr uint32_t kStopCheckMs = 200;

void PrintUsage(FILE* out) {
    std::fprintf(out,
                 "usage: qvtraceview [--count N] [--channel NAME]\n"
                 "Prints the records that trace logs send to the trace viewer, one line each:\n"
                 "  [level.thread] time process name > text\n"
                 "  --count N       stop after N records\n"
                 "  --channel NAME  listen on another channel (default %s)\n"
                 "  --help          show this text\n",
                 plat::kTraceViewerClass);
}

// A NUL-terminated narrow field (or the whole field when it is full), as UTF-8.
std::string FieldText(const char* p, size_t nField) {
    return WideToUtf8(NarrowToWide(std::string_view(p, strnlen(p, nField))));
}

void PrintRecord(const TraceViewerRecord& rec) {
    std::string line = "[" + std::to_string(rec.nLevel) + ".";
    char szThread[16];
    std::snprintf(szThread, sizeof(szThread), "%08x", plat::LoadLe32(rec.aThreadId));
    line += szThread;
    line += "] " + FieldText(rec.szTime, sizeof(rec.szTime)) + " " +
            std::to_string(plat::LoadLe32(rec.aProcessId)) + " " + FieldText(rec.szName, sizeof(rec.szName)) +
            " > " + FieldText(rec.szText, sizeof(rec.szText)) + "\n";
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fflush(stdout);
}

bool ParseCount(const char* sz, long* pCount) {
    char* pEnd = nullptr;
    errno = 0;
    long n = std::strtol(sz, &pEnd, 10);
    if (errno != 0 || pEnd == sz || *pEnd != 0 || n <= 0) return false;
    *pCount = n;
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    long nCount = 0;  // 0: no limit
    for (int i = 1; i < argc; ++i) {
        std::string_view arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            PrintUsage(stdout);
            return 0;
        }
        if (arg == "--count" && i + 1 < argc && ParseCount(argv[i + 1], &nCount)) {
            ++i;
        } else if (arg == "--channel" && i + 1 < argc && argv[i + 1][0] != 0) {
            plat::SetTraceViewerChannel(argv[++i]);
        } else {
            std::fprintf(stderr, "qvtraceview: bad argument '%s'\n", argv[i]);
            PrintUsage(stderr);
            return 2;
        }
    }

    plat::InstallStopSignalHandlers();
    plat::TraceViewerListener listener;
    if (!listener.Open()) {
        if (plat::GetLastError() == plat::kErrorAlreadyExists)
            std::fprintf(stderr, "qvtraceview: another viewer listens on %s\n", plat::GetTraceViewerChannel().c_str());
        else
            std::fprintf(stderr, "qvtraceview: cannot listen on %s (error %u)\n",
                         plat::GetTraceViewerChannel().c_str(), plat::GetLastError());
        return 1;
    }

    long nPrinted = 0;
    TraceViewerRecord rec;
    while (!plat::StopSignalReceived() && (nCount == 0 || nPrinted < nCount)) {
        int64_t n = listener.Receive(&rec, sizeof(rec), kStopCheckMs);
        if (n == 0) continue;
        if (n < 0) {
            std::fprintf(stderr, "qvtraceview: receive failed (error %u)\n", plat::GetLastError());
            return 1;
        }
        if (n != static_cast<int64_t>(sizeof(rec))) {
            std::fprintf(stderr, "qvtraceview: ignored a datagram of %lld bytes\n", static_cast<long long>(n));
            continue;
        }
        PrintRecord(rec);
        ++nPrinted;
    }
    return 0;
}
