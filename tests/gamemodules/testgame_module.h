// A test's own handle on a test game module (tests only): keeps the module
// mapped, so that its TestGameControl stays valid, and hands out the control.
// The frame loading the same file shares the mapping and the control.
#pragma once

#include <string_view>

#include "platform/module.h"
#include "tests/gamemodules/testgame_control.h"

class TestGameModule {
public:
    explicit TestGameModule(std::u16string_view strPath) {
        uint32_t dwError = 0;
        m_hModule = plat::LoadModule(strPath, &dwError);
        if (!m_hModule) return;
        auto pfnGetControl =
            reinterpret_cast<PFN_TESTGAME_GET_CONTROL>(plat::GetModuleSymbol(m_hModule, QV_TESTGAME_GET_CONTROL_NAME, &dwError));
        m_pControl = pfnGetControl ? pfnGetControl() : nullptr;
    }
    ~TestGameModule() {
        if (m_pControl) m_pControl->Reset();  // hooks may capture the test's state
        if (m_hModule) plat::FreeModule(m_hModule);
    }
    TestGameModule(const TestGameModule&) = delete;
    TestGameModule& operator=(const TestGameModule&) = delete;

    // Null when the module could not be loaded.
    TestGameControl* Control() const { return m_pControl; }

private:
    plat::ModuleHandle m_hModule = nullptr;
    TestGameControl* m_pControl = nullptr;
};
