#include "client/qvclient/gloss.h"

#include <array>

#include "projcommon/widestring.h"

namespace qvc {
namespace {

struct Gloss {
    std::u16string_view pattern;  // the server's text; %d stands for a number
    const char* szMeaning;
};

// Keep in step with the glossary in docs/operations.md.
constexpr std::array kGlosses = {
    Gloss{u"服务器已达到最大人数", "the server is full"},
    Gloss{u"无可用会话，连接服务器失败。", "no free session on the server; the connection is closed"},
    Gloss{u"客户端版本不正确", "the client's game version is not the server's"},
    Gloss{u"[%d] 版本验证还没有通过", "the version check has not passed yet"},
    Gloss{u"用户还没有登录", "not logged in"},
    Gloss{u"LoginKey读取失败", "no such user"},
    Gloss{u"登录串验证未通过", "wrong or expired login string, or too many failed logins"},
    Gloss{u"获取平台用户信息失败", "the platform database could not be read; try again later"},
    Gloss{u"获取游戏用户信息失败", "the game database could not be read; try again later"},
    Gloss{u"该用户正在其他服务器上，已通知其下线，请稍后再登录",
          "you are online on another server; it was asked to log you out, log in again in a few seconds"},
    Gloss{u"加入房间成功", "joined the room"},
    Gloss{u"用户 %d 加入无效房间 %d 当前房间总数为 %d", "no such room"},
    Gloss{u"请先离开房间 ( %d )", "leave your room first"},
    Gloss{u"房间人数已满", "the room has no free seat of that kind"},
    Gloss{u"禁止观战", "the room takes no observers"},
    Gloss{u"游戏币不足，最少需要%d枚。", "not enough game coins for a player seat; buy first"},
    Gloss{u"房间拒绝用户加入", "the game refused the join"},
    Gloss{u"成功购买了游戏币%d枚，消耗金币%d枚。", "coins bought"},
    Gloss{u"购买游戏币成功", "coins bought"},
    Gloss{u"游戏币已达到房间要求，无需购买。", "you already have the coins a seat needs; nothing bought"},
    Gloss{u"金币不足", "not enough gold"},
    Gloss{u"加游戏币失败", "the purchase could not be written; nothing was taken"},
    Gloss{u"减金币失败", "the purchase could not be written; nothing was taken"},
    Gloss{u"退游戏币成功", "coins sold back to gold"},
    Gloss{u"减游戏币失败", "the coins could not be sold back now; they stay coins"},
    Gloss{u"加金币失败", "the coins could not be sold back now; they stay coins"},
    Gloss{u"写扣税记录失败", "the coins could not be sold back now; they stay coins"},
};

// True when text is pattern with every "%d" standing for a run of at least
// one character. The classic wildcard walk: on a mismatch after a wildcard,
// that wildcard takes one character more; O(pattern x text) at worst.
bool Matches(std::u16string_view pattern, std::u16string_view text) {
    size_t p = 0, t = 0;
    size_t nStarP = std::u16string_view::npos, nStarT = 0;
    while (t < text.size()) {
        if (p + 1 < pattern.size() && pattern[p] == u'%' && pattern[p + 1] == u'd') {
            nStarP = p + 2;
            nStarT = t + 1;  // the wildcard takes at least one character
            p = nStarP;
            t = nStarT;
        } else if (p < pattern.size() && pattern[p] == text[t]) {
            ++p;
            ++t;
        } else if (nStarP != std::u16string_view::npos) {
            p = nStarP;
            t = ++nStarT;
        } else {
            return false;
        }
    }
    if (t > text.size()) return false;
    return p == pattern.size();
}

// The server's texts are short (a failure reply holds 29 characters); a
// longer text is none of them and is not matched at all.
constexpr size_t kMaxGlossedText = 128;

}  // namespace

std::string EnglishGloss(std::u16string_view text) {
    if (text.size() > kMaxGlossedText) return {};
    for (const Gloss& g : kGlosses)
        if (Matches(g.pattern, text)) return g.szMeaning;
    return {};
}

std::string WithGloss(std::u16string_view text) {
    std::string strOut = WideToUtf8(text);
    const std::string strGloss = EnglishGloss(text);
    if (!strGloss.empty()) strOut += " (" + strGloss + ")";
    return strOut;
}

}  // namespace qvc
