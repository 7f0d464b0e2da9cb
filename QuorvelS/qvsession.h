// CQVSession: the frame server's session (internal). For now it adds nothing
// to the session base: its handlers accept and ignore what reaches them. The
// lobby requests, the user's room and the forwarding of game packets are
// added here.
//
// Owned by the server's session pool; host thread only.
#pragma once

#include "common/sessionbase.h"

class CQVSession : public CSessionBase {
public:
    CQVSession();
    ~CQVSession() override;

    void OnRecvPacket(const uint8_t* pPacket, uint32_t nLength, int16_t nConnectionIndex,
                      uint16_t wSignal) override;
    void OnOpen() override;
    void OnClose() override;
    void OnLogin() override;
};
