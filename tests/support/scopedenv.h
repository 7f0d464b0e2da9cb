// An environment variable set for a scope (test support): the old value, or
// its absence, comes back at the end. Header-only, so that tests which link
// nothing of the support library can use it; on every platform the tests run.
#pragma once

#include <stdlib.h>

#include <optional>
#include <string>

class ScopedEnv {
public:
    ScopedEnv(const char* szName, const std::string& strValue) : m_strName(szName) {
        if (const char* p = getenv(szName)) m_old = p;
        Set(m_strName.c_str(), strValue.c_str());
    }
    ~ScopedEnv() { Set(m_strName.c_str(), m_old ? m_old->c_str() : nullptr); }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    // szValue null removes the variable.
    static void Set(const char* szName, const char* szValue) {
#ifdef _WIN32
        _putenv_s(szName, szValue ? szValue : "");  // "" removes it there
#else
        if (szValue)
            setenv(szName, szValue, 1);
        else
            unsetenv(szName);
#endif
    }

    std::string m_strName;
    std::optional<std::string> m_old;
};
