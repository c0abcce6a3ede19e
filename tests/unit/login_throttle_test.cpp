// The login throttle from tables of failures and ticks: which refusals go at
// once, which wait, and when each waiting one is let go.
#include <gtest/gtest.h>

#include <vector>

#include "accounts/login_throttle.h"

namespace vextora {
namespace {

constexpr std::uint32_t A = 0x7F000001;  // addresses in network order do as well as any
constexpr std::uint32_t B = 0x7F000002;

// What release() names at a tick.
std::vector<LoginThrottle::SessionId> releasedAt(LoginThrottle& throttle, std::uint32_t now) {
    std::vector<LoginThrottle::SessionId> due;
    throttle.release(now, due);
    return due;
}

using Ids = std::vector<LoginThrottle::SessionId>;

TEST(LoginThrottle, FailuresFasterThanOneASecondWaitFromTheFourthWithinAMinute) {
    struct Failure {
        std::uint32_t tick;
        std::uint32_t address;
        bool atOnce;
    };
    // Each table starts a fresh throttle; every failure is on a session of its own.
    const std::vector<std::vector<Failure>> tables = {
        // Three in a burst go at once; the fourth and fifth wait.
        {{10, A, true}, {11, A, true}, {12, A, true}, {13, A, false}, {14, A, false}},
        // The second address is counted apart.
        {{10, A, true}, {11, A, true}, {12, A, true}, {13, B, true}, {14, B, true}, {15, A, false}},
        // A fourth failure a second after the third is in time: nothing waits.
        {{0, A, true}, {1, A, true}, {2, A, true}, {1002, A, true}, {1003, A, false}},
        // Failures a minute old no longer count: from 60002 on only the new
        // ones do, and the fourth of those waits.
        {{0, A, true},
         {1, A, true},
         {2, A, true},
         {60002, A, true},
         {60003, A, true},
         {60004, A, true},
         {60005, A, false}},
        // The minute slides: at 59.999 s the first three still count.
        {{0, A, true}, {1, A, true}, {2, A, true}, {59999, A, true}, {59999, A, false}},
    };
    for (std::size_t t = 0; t < tables.size(); ++t) {
        LoginThrottle throttle;
        LoginThrottle::SessionId session = 0;
        for (const Failure& failure : tables[t])
            EXPECT_EQ(throttle.failed(failure.address, ++session, failure.tick), failure.atOnce)
                << "table " << t << ", failure " << session << " at " << failure.tick;
    }
}

TEST(LoginThrottle, HeldRefusalsGoOneASecondAfterThePreviousInTheOrderTheyFailed) {
    LoginThrottle throttle;
    for (LoginThrottle::SessionId s = 1; s <= 3; ++s) EXPECT_TRUE(throttle.failed(A, s, 100));
    EXPECT_FALSE(throttle.nextReleaseIn(100)) << "nothing held";
    for (LoginThrottle::SessionId s = 4; s <= 6; ++s) EXPECT_FALSE(throttle.failed(A, s, 200));
    EXPECT_EQ(throttle.heldCount(), 3u);
    EXPECT_EQ(throttle.nextReleaseIn(200), 900u) << "a second after the third refusal, at 1100";

    EXPECT_EQ(releasedAt(throttle, 1099), Ids{});
    EXPECT_EQ(releasedAt(throttle, 1100), Ids{4});
    EXPECT_EQ(throttle.nextReleaseIn(1100), 1000u);
    // A pass that comes late counts from when it came.
    EXPECT_EQ(releasedAt(throttle, 2150), Ids{5});
    EXPECT_EQ(releasedAt(throttle, 3149), Ids{});
    EXPECT_EQ(throttle.nextReleaseIn(3149), 1u);
    EXPECT_EQ(releasedAt(throttle, 3150), Ids{6});
    EXPECT_FALSE(throttle.nextReleaseIn(3150));

    EXPECT_FALSE(throttle.failed(A, 7, 3151)) << "a refusal went out a moment ago";
    // A failure behind a held one waits its turn, even when a second has
    // passed since the last refusal that went out.
    EXPECT_FALSE(throttle.failed(A, 8, 9000));
    EXPECT_EQ(releasedAt(throttle, 9000), (Ids{7}));
    EXPECT_EQ(releasedAt(throttle, 10000), (Ids{8}));
}

TEST(LoginThrottle, AddressesAreReleasedApartAndAForgottenSessionIsNotWaitedFor) {
    LoginThrottle throttle;
    for (LoginThrottle::SessionId s = 1; s <= 3; ++s) throttle.failed(A, s, 0);
    for (LoginThrottle::SessionId s = 11; s <= 13; ++s) throttle.failed(B, s, 500);
    EXPECT_FALSE(throttle.failed(A, 4, 600));
    EXPECT_FALSE(throttle.failed(A, 5, 600));
    EXPECT_FALSE(throttle.failed(B, 14, 600));
    EXPECT_EQ(throttle.nextReleaseIn(600), 400u);

    throttle.forget(A, 4);  // its client hung up
    EXPECT_EQ(releasedAt(throttle, 1000), (Ids{5})) << "the next in line takes the free turn";
    EXPECT_EQ(throttle.nextReleaseIn(1000), 500u) << "B's turn at 1500";
    EXPECT_EQ(releasedAt(throttle, 1500), (Ids{14}));
    EXPECT_FALSE(throttle.nextReleaseIn(1500));
    throttle.forget(B, 14);  // no longer held: nothing happens
    throttle.forget(0x0A000001, 1);
    EXPECT_EQ(throttle.heldCount(), 0u);
}

TEST(LoginThrottle, TicksThatWrapAroundKeepTheirOrder) {
    LoginThrottle throttle;
    const std::uint32_t start = 0xFFFFFF00u;
    for (LoginThrottle::SessionId s = 1; s <= 3; ++s) EXPECT_TRUE(throttle.failed(A, s, start));
    EXPECT_FALSE(throttle.failed(A, 4, start + 10));
    EXPECT_EQ(throttle.nextReleaseIn(start + 10), 990u);
    EXPECT_EQ(releasedAt(throttle, start + 999), Ids{});
    EXPECT_EQ(releasedAt(throttle, start + 1000), Ids{4}) << "past the wrap";
    EXPECT_FALSE(throttle.failed(A, 5, start + 1001));
    EXPECT_EQ(releasedAt(throttle, start + 2000), Ids{5});
}

TEST(LoginThrottle, TheTableIsCappedAndKeepsEveryAddressWithARefusalHeld) {
    LoginThrottle throttle;
    const std::uint32_t cap = LoginThrottle::MAX_ADDRESSES;
    // A guesser is held; then failures from as many other addresses as fit, and more.
    for (LoginThrottle::SessionId s = 1; s <= 3; ++s) throttle.failed(A, s, 0);
    ASSERT_FALSE(throttle.failed(A, 4, 0));
    for (std::uint32_t i = 0; i < 2 * cap; ++i) throttle.failed(0x0A000000 + i, 100 + i, 10);
    EXPECT_EQ(throttle.addressCount(), cap);
    EXPECT_EQ(releasedAt(throttle, 1000), (Ids{4})) << "the held guesser was kept";
    EXPECT_FALSE(throttle.failed(A, 5, 1000)) << "and so was its count";

    // Stale addresses make room without taking anyone's place.
    for (std::uint32_t i = 0; i < 3; ++i) throttle.failed(B, 9000 + i, 70000);
    EXPECT_LT(throttle.addressCount(), 10u) << "a minute on, the quiet addresses are gone";

    // Full of held refusals: a new address is not remembered, and its
    // refusals go at once rather than push a held one out.
    LoginThrottle full;
    for (std::uint32_t i = 0; i < cap; ++i) {
        for (int f = 0; f < 4; ++f) full.failed(0x0B000000 + i, i * 4 + f, 5);
    }
    ASSERT_EQ(full.heldCount(), cap);
    for (int f = 0; f < 5; ++f) EXPECT_TRUE(full.failed(A, 1u << 30, 5));
    EXPECT_EQ(full.addressCount(), cap);
}

}  // namespace
}  // namespace vextora
