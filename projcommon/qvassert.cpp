#include "projcommon/qvassert.h"

#include <algorithm>
#include <cstdio>

namespace {

void DefaultSink(const char* szExpression, const char* szFile, int nLine) {
#ifndef NDEBUG
    std::fprintf(stderr, "assertion failed: %s (%s:%d)\n", szExpression, szFile, nLine);
#else
    (void)szExpression;
    (void)szFile;
    (void)nLine;
#endif
}

QvAssertSink g_pSink = DefaultSink;
QvAssertCollector* g_pCollector = nullptr;

}  // namespace

void QvReportAssert(const char* szExpression, const char* szFile, int nLine) {
    g_pSink(szExpression ? szExpression : "", szFile ? szFile : "", nLine);
}

QvAssertSink QvSetAssertSink(QvAssertSink pSink) {
    QvAssertSink prev = g_pSink;
    g_pSink = pSink ? pSink : DefaultSink;
    return prev;
}

QvAssertCollector::QvAssertCollector() : m_pPrevious(QvSetAssertSink(&Collect)) {
    g_pCollector = this;
}

QvAssertCollector::~QvAssertCollector() {
    g_pCollector = nullptr;
    QvSetAssertSink(m_pPrevious);
}

bool QvAssertCollector::Saw(const std::string& strExpression) const {
    return std::find(m_aReports.begin(), m_aReports.end(), strExpression) != m_aReports.end();
}

void QvAssertCollector::Collect(const char* szExpression, const char*, int) {
    if (g_pCollector) g_pCollector->m_aReports.emplace_back(szExpression);
}
