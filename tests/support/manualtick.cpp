#include "tests/support/manualtick.h"

CManualTick::CManualTick(uint32_t dwStart) {
    s_dwNow = dwStart;
    m_pPrevious = plat::SetTickSource(&CManualTick::Read);
}

CManualTick::~CManualTick() {
    plat::SetTickSource(m_pPrevious);
}
