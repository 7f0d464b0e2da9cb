// The login-failure limiter: the limit within a window, the window's end
// (also across the tick wrap), forgetting after success, and the bound on
// the keys it keeps.
#include "QuorvelS/loginguard.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(LoginFailureLimiter, BlocksAtTheLimitUntilTheWindowIsOver) {
    for (uint32_t dwStart : {1000u, 0xFFFFFFFFu - 30000u}) {  // the second window spans the wrap
        SCOPED_TRACE(dwStart);
        CLoginFailureLimiter limiter;
        limiter.SetLimit(3);
        for (int i = 0; i < 3; ++i) {
            EXPECT_EQ(limiter.IsBlocked(u"amy", dwStart + 1000u * i), 0) << i;
            limiter.RecordFailure(u"amy", dwStart + 1000u * i);
        }
        EXPECT_EQ(limiter.IsBlocked(u"amy", dwStart + 2000), 1);
        EXPECT_EQ(limiter.IsBlocked(u"Amy", dwStart + 2000), 0) << "keys are exact";
        EXPECT_EQ(limiter.IsBlocked(u"amy", dwStart + kLoginFailureWindowMs - 1), 1);
        EXPECT_EQ(limiter.IsBlocked(u"amy", dwStart + kLoginFailureWindowMs), 0);
        // A failure after the window starts a new one with a count of one.
        limiter.RecordFailure(u"amy", dwStart + kLoginFailureWindowMs);
        EXPECT_EQ(limiter.IsBlocked(u"amy", dwStart + kLoginFailureWindowMs), 0);
    }
}

TEST(LoginFailureLimiter, OffAtZeroAndForgetsAfterSuccessOrANewLimit) {
    CLoginFailureLimiter limiter;
    for (int i = 0; i < 100; ++i) limiter.RecordFailure(u"amy", 1000);
    EXPECT_EQ(limiter.IsBlocked(u"amy", 1000), 0);
    EXPECT_EQ(limiter.KeyCount(), 0u) << "nothing is kept while off";

    limiter.SetLimit(1);
    limiter.RecordFailure(u"", 1000);
    EXPECT_EQ(limiter.KeyCount(), 0u) << "an unknown address is no key";
    limiter.RecordFailure(u"amy", 1000);
    limiter.RecordFailure(u"bob", 1000);
    EXPECT_EQ(limiter.IsBlocked(u"amy", 1000), 1);
    limiter.Forget(u"amy");
    EXPECT_EQ(limiter.IsBlocked(u"amy", 1000), 0);
    EXPECT_EQ(limiter.IsBlocked(u"bob", 1000), 1);
    limiter.SetLimit(2);
    EXPECT_EQ(limiter.IsBlocked(u"bob", 1000), 0);
}

TEST(LoginFailureLimiter, KeepsAtMostItsBoundDroppingExpiredThenTheOldestWindow) {
    CLoginFailureLimiter limiter(4);
    limiter.SetLimit(1);
    limiter.RecordFailure(u"old", 1000);
    for (int i = 0; i < 3; ++i) limiter.RecordFailure(u"k" + std::u16string(1, u'0' + i), 50000 + i);
    ASSERT_EQ(limiter.KeyCount(), 4u);
    // "old" has expired by now and goes first; the live ones stay.
    limiter.RecordFailure(u"new1", 61000);
    EXPECT_EQ(limiter.KeyCount(), 4u);
    EXPECT_EQ(limiter.IsBlocked(u"k0", 61000), 1);
    EXPECT_EQ(limiter.IsBlocked(u"new1", 61000), 1);
    // Nothing has expired: the window that started earliest (k0) goes.
    limiter.RecordFailure(u"new2", 62000);
    EXPECT_EQ(limiter.KeyCount(), 4u);
    EXPECT_EQ(limiter.IsBlocked(u"k0", 62000), 0);
    EXPECT_EQ(limiter.IsBlocked(u"k1", 62000), 1);
    for (int i = 0; i < 10000; ++i) limiter.RecordFailure(u"flood" + std::u16string(1, char16_t(i)), 63000);
    EXPECT_EQ(limiter.KeyCount(), 4u);
}

}  // namespace
