// The session pool's bookkeeping structures at their edges: the lowest free
// index, the time-out queues across the tick wrap and a clock set back, and
// the user-name index with colliding and shared names.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/freeindexset.h"
#include "common/sessiontimeouts.h"
#include "common/usernameindex.h"

namespace {

std::vector<uint16_t> Sweep(CSessionTimeouts& t, uint32_t dwNow) {
    std::vector<uint16_t> aDue;
    t.BeginSweep(dwNow);
    uint16_t w = 0;
    while (t.NextDue(w)) aDue.push_back(w);
    t.EndSweep();
    return aDue;
}

TEST(SessionFreeIndex, LowestFreeAfterFreesAndReuseAcrossWords) {
    CFreeIndexSet set;
    set.Reset(70000);  // more than one summary word
    EXPECT_EQ(set.Lowest(), -1);
    for (size_t i : {5u, 64u, 4095u, 4096u, 69999u}) set.Insert(i);
    set.Insert(70000);  // outside: ignored
    EXPECT_EQ(set.Count(), 5u);
    EXPECT_EQ(set.Lowest(), 5);
    set.Erase(5);
    EXPECT_EQ(set.Lowest(), 64) << "the next word";
    set.Erase(64);
    EXPECT_EQ(set.Lowest(), 4095);
    set.Erase(4095);
    EXPECT_EQ(set.Lowest(), 4096) << "the next summary word";
    set.Insert(3);  // reused lower index wins again
    EXPECT_EQ(set.Lowest(), 3);
    set.Erase(3);
    set.Erase(3);  // twice: no underflow
    set.Erase(4096);
    EXPECT_EQ(set.Lowest(), 69999);
    set.Erase(69999);
    EXPECT_EQ(set.Lowest(), -1);
    EXPECT_EQ(set.Count(), 0u);
}

TEST(SessionTimeouts, EachKindExpiresStrictlyAfterItsLimitAcrossTheWrap) {
    struct Case {
        CSessionTimeouts::Kind eKind;
        uint32_t dwLimit;
    };
    for (const Case& c : {Case{CSessionTimeouts::kTemp, 30000}, Case{CSessionTimeouts::kLobby, 180000},
                          Case{CSessionTimeouts::kGame, 180000}}) {
        SCOPED_TRACE(c.eKind);
        CSessionTimeouts t;
        const uint32_t dwStart = 0xFFFFFFFFu - c.dwLimit / 2;  // the limit lies past the wrap
        t.Reset(8, dwStart);
        t.Restart(6, c.eKind, dwStart);
        t.Restart(2, c.eKind, dwStart + 1);
        EXPECT_TRUE(Sweep(t, dwStart + c.dwLimit).empty()) << "exactly the limit is not over it";
        EXPECT_EQ(Sweep(t, dwStart + c.dwLimit + 1), (std::vector<uint16_t>{6}));
        EXPECT_FALSE(t.IsQueued(6, c.eKind)) << "handed to the check, which closes it";
        EXPECT_EQ(Sweep(t, dwStart + c.dwLimit + 2), (std::vector<uint16_t>{2}));
    }
}

TEST(SessionTimeouts, ARestartMovesToTheBackAndDueSessionsComeInIndexOrder) {
    CSessionTimeouts t;
    t.Reset(16, 1000);
    for (uint16_t w : {9, 3, 12}) t.Restart(w, CSessionTimeouts::kLobby, 1000);
    t.Restart(3, CSessionTimeouts::kLobby, 100000);  // activity
    t.Restart(5, CSessionTimeouts::kTemp, 1000);
    t.MarkDue(14);
    t.MarkDue(14);  // once only
    EXPECT_EQ(Sweep(t, 181001), (std::vector<uint16_t>{5, 9, 12, 14}));
    t.Cancel(3, CSessionTimeouts::kLobby);
    EXPECT_TRUE(Sweep(t, 400000).empty()) << "a cancelled connection is not checked";
}

TEST(SessionTimeouts, SessionsMarkedDuringTheSweepAboveItsPositionComeNowTheRestNextTime) {
    CSessionTimeouts t;
    t.Reset(8, 0);
    t.MarkDue(4);
    t.BeginSweep(0);
    uint16_t w = 0;
    ASSERT_TRUE(t.NextDue(w));
    EXPECT_EQ(w, 4);
    t.MarkDue(4);  // its last connection closed during its own check
    t.MarkDue(2);
    t.MarkDue(6);
    ASSERT_TRUE(t.NextDue(w));
    EXPECT_EQ(w, 6);
    EXPECT_FALSE(t.NextDue(w));
    t.EndSweep();
    EXPECT_EQ(Sweep(t, 0), (std::vector<uint16_t>{2, 4}));
}

// A clock set back leaves connections restarted "in the future": their
// unsigned age is huge, and they expire although the queue's front does not.
TEST(SessionTimeouts, AClockSetBackOrAnOutOfOrderRestartMissesNoConnection) {
    CSessionTimeouts t;
    t.Reset(8, 50000);
    t.Restart(1, CSessionTimeouts::kTemp, 40000);
    t.Restart(2, CSessionTimeouts::kTemp, 50000);
    EXPECT_EQ(Sweep(t, 49000), (std::vector<uint16_t>{2})) << "set back by a second";

    CSessionTimeouts u;
    u.Reset(8, 1000);
    u.Restart(1, CSessionTimeouts::kGame, 1000);
    u.Restart(2, CSessionTimeouts::kGame, 500);  // an older tick restarted later
    EXPECT_EQ(Sweep(u, 180600), (std::vector<uint16_t>{2}));
    EXPECT_EQ(Sweep(u, 181001), (std::vector<uint16_t>{1}));
}

TEST(SessionUserNameIndex, FindsTheLowestMatchingIndexThroughCollisionsAndMoves) {
    CUserNameIndex index;
    index.Reset(4);  // 16 buckets: plenty of shared chains
    std::vector<std::u16string> aName(4);
    auto Find = [&](std::u16string_view strName, int nExcept = -1) {
        return index.FindLowest(strName, [&](uint16_t w) { return w != nExcept && aName[w] == strName; });
    };
    aName = {u"amy", u"Amy", u"amy", u"bob"};
    for (uint16_t w : {3, 2, 1, 0}) index.Insert(w, aName[w]);  // chains run newest first
    EXPECT_EQ(Find(u"amy"), 0);
    EXPECT_EQ(Find(u"Amy"), 1) << "names compare exactly";
    EXPECT_EQ(Find(u"amy", 0), 2) << "the next one when the first is excepted";
    EXPECT_EQ(Find(u"amy "), -1);
    index.Erase(0);  // logout
    EXPECT_EQ(Find(u"amy"), 2);
    aName[2] = u"bob";  // the session serves another user now
    index.Insert(2, aName[2]);
    EXPECT_EQ(Find(u"amy"), -1);
    EXPECT_EQ(Find(u"bob"), 2);
    index.Erase(2);
    index.Erase(2);
    EXPECT_EQ(Find(u"bob"), 3);
}

}  // namespace
