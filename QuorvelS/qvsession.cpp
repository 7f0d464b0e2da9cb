#include "QuorvelS/qvsession.h"

CQVSession::CQVSession() = default;

CQVSession::~CQVSession() = default;

void CQVSession::OnRecvPacket(const uint8_t* pPacket, uint32_t nLength, int16_t nConnectionIndex,
                              uint16_t wSignal) {
    (void)pPacket;
    (void)nLength;
    (void)nConnectionIndex;
    (void)wSignal;
}

void CQVSession::OnOpen() {}

void CQVSession::OnClose() {}

void CQVSession::OnLogin() {}
