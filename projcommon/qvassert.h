// Debug assertions that report and continue.
//
// The framework treats a broken internal invariant (a missing session, an index
// out of range, a record of the wrong size) as something to report, not to die
// of: QV_ASSERT(expr) hands the expression text to the installed sink and
// execution goes on. The default sink writes to stderr in debug builds and
// nothing otherwise; the framework library installs a sink that writes the
// report to the trace log at level 1. Tests install a collector.
//
// The sink is process-wide; install it before starting threads that assert.
#pragma once

#include <string>
#include <vector>

using QvAssertSink = void (*)(const char* szExpression, const char* szFile, int nLine);

// Reports a failed assertion (the expression text in UTF-8) through the sink.
void QvReportAssert(const char* szExpression, const char* szFile, int nLine);

// Installs a sink; null restores the default. Returns the previous sink.
QvAssertSink QvSetAssertSink(QvAssertSink pSink);

#define QV_ASSERT(expr) \
    ((expr) ? (void)0 : QvReportAssert(#expr, __FILE__, __LINE__))

// Reports a failure whose text is a message rather than an expression
// (e.g. "所有用户的Coin变化值之和不为零").
#define QV_ASSERT_TEXT(szText) QvReportAssert(szText, __FILE__, __LINE__)

// Test helper: while alive, collects every report instead of passing it on.
// Not thread-safe; one collector at a time.
class QvAssertCollector {
public:
    QvAssertCollector();
    ~QvAssertCollector();
    QvAssertCollector(const QvAssertCollector&) = delete;
    QvAssertCollector& operator=(const QvAssertCollector&) = delete;

    const std::vector<std::string>& Reports() const { return m_aReports; }
    bool Saw(const std::string& strExpression) const;
    void Clear() { m_aReports.clear(); }

private:
    static void Collect(const char* szExpression, const char* szFile, int nLine);
    std::vector<std::string> m_aReports;
    QvAssertSink m_pPrevious;
};
