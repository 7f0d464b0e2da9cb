// CQVServer: the framework's server, the one global server of the library
// (internal). For now it is the server base with minimal game slots: sessions
// are CQVSession, no client version is accepted (there is no game module
// yet), every login is let through and no game-side user data is loaded.
// StartFrame is the whole start of host command 103.
//
// Owned by the library (globals.h); host thread only.
#pragma once

#include "QuorvelS/quorvels.h"
#include "common/serverbase.h"

class CQVServer : public CServerBase {
public:
    CQVServer();
    ~CQVServer() override;

    CSessionBase* CreateSession() override;
    int CheckGameVersion(const uint8_t* pPacket, std::u16string& strError) override;
    int VerifyLogin(const uint8_t* pPacket, std::u16string& strError, UserInfo& userInfo) override;
    int LoadGameUser(UserInfo& userInfo, std::u16string& strError) override;

    // Slot 12: the start of host command 103 on the host's start record
    // (in: hInstance, dwDriverParam; out: szName, hIcon, nRoomInfo). 1 when
    // the server is up.
    virtual int StartFrame(ServerStartInfo& startInfo);
};
