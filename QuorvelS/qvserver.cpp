#include "QuorvelS/qvserver.h"

#include "QuorvelS/qvsession.h"

namespace {
// Value handed to the base start's reserved argument.
constexpr int kStartReserved = 50;
}  // namespace

CQVServer::CQVServer() = default;

CQVServer::~CQVServer() = default;

CSessionBase* CQVServer::CreateSession() {
    return new CQVSession();
}

int CQVServer::CheckGameVersion(const uint8_t* pPacket, std::u16string& strError) {
    (void)pPacket;
    (void)strError;
    return 0;  // no game module, so no version to match
}

int CQVServer::VerifyLogin(const uint8_t* pPacket, std::u16string& strError, UserInfo& userInfo) {
    (void)pPacket;
    (void)strError;
    (void)userInfo;
    return 1;
}

int CQVServer::LoadGameUser(UserInfo& userInfo, std::u16string& strError) {
    (void)userInfo;
    (void)strError;
    return 1;
}

int CQVServer::StartFrame(ServerStartInfo& startInfo) {
    static constexpr int32_t kDsnOpen[4] = {1, 1, 1, 1};
    Start(kStartReserved, &startInfo, kDsnOpen, startInfo.dwDriverParam);
    return 1;
}
