#include "QuorvelS/globals.h"

#include "projcommon/qvassert.h"

// The server first, then the trace log, then the hooks that point at it. The
// explicit priorities put them ahead of every ordinary static initialiser and
// of the attach notification (hostentry.cpp), whatever the link order.
CQVServer g_Server __attribute__((init_priority(1000)));
CTraceLog2 g_TraceLog __attribute__((init_priority(1001)));

namespace {

QvAssertSink g_pPreviousAssertSink = nullptr;

void TraceAssert(const char* szExpression, const char* szFile, int nLine) {
    g_TraceLog.Trace(1, u"ASSERT(%s) %s:%d", szExpression, szFile, nLine);
    if (g_pPreviousAssertSink) g_pPreviousAssertSink(szExpression, szFile, nLine);
}

// Connects the process-wide trace and assertion hooks to the library's trace
// log for exactly as long as the trace log exists.
class CProcessHooks {
public:
    CProcessHooks() {
        SetProcessTraceLog(&g_TraceLog);
        g_pPreviousAssertSink = QvSetAssertSink(&TraceAssert);
    }
    ~CProcessHooks() {
        QvSetAssertSink(g_pPreviousAssertSink);
        g_pPreviousAssertSink = nullptr;
        SetProcessTraceLog(nullptr);
    }
    CProcessHooks(const CProcessHooks&) = delete;
    CProcessHooks& operator=(const CProcessHooks&) = delete;
};

CProcessHooks g_ProcessHooks __attribute__((init_priority(1002)));

}  // namespace
