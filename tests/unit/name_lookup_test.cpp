// Name lookups that never hold their caller: answered from a thread of their
// own, and dropped without waiting for it.
#include "net/name_lookup.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <optional>
#include <string_view>
#include <thread>

namespace vextora {
namespace {

using Clock = std::chrono::steady_clock;

// The answer, taken as the caller would between other work.
std::optional<std::uint32_t> awaitAnswer(NameLookup& lookup) {
    std::optional<std::uint32_t> answer = lookup.take();
    for (int i = 0; i < 1000 && !answer; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        answer = lookup.take();
    }
    return answer;
}

TEST(NameLookup, AnswersDottedAtOnceAndNamesFromItsThread) {
    const struct {
        const char* host;
        bool atOnce;
        std::uint32_t answer;
    } cases[] = {
        {"127.0.0.1", true, TcpSocket::resolveHost("127.0.0.1")},
        {"localhost", false, TcpSocket::resolveHost("127.0.0.1")},
        {"no-such-host.invalid", false, TcpSocket::ADDRESS_NONE},
        {"255.255.255.255", false, TcpSocket::resolveHost("255.255.255.255")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.host);
        NameLookup lookup;
        ASSERT_TRUE(lookup.start(c.host));
        EXPECT_EQ(lookup.handle() == TcpSocket::INVALID_HANDLE, c.atOnce);
        EXPECT_EQ(awaitAnswer(lookup), c.answer);
        EXPECT_EQ(lookup.handle(), TcpSocket::INVALID_HANDLE) << "taken: nothing more to await";
    }
}

// A resolver that holds every name until it is let go, as one waiting for a
// name server that does not answer.
std::atomic<bool> held{true};
std::atomic<int> heldLookupsEnded{0};

std::uint32_t holdingResolver(const char*) {
    for (int i = 0; i < 2000 && held.load(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ++heldLookupsEnded;
    return TcpSocket::resolveHost("127.0.0.1");
}

TEST(NameLookup, DroppingALookupNeverWaitsForItsThread) {
    NameLookup lookup;
    auto start = Clock::now();
    ASSERT_TRUE(lookup.start("held.example", &holdingResolver));
    EXPECT_EQ(lookup.take(), std::nullopt) << "still awaited";
    // Started again: the first lookup is dropped, and so is the second.
    ASSERT_TRUE(lookup.start("held.example", &holdingResolver));
    lookup.drop();
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(500));
    EXPECT_EQ(lookup.take(), std::nullopt);
    EXPECT_EQ(lookup.handle(), TcpSocket::INVALID_HANDLE);

    // Their threads end by themselves, and a new lookup is not disturbed.
    ASSERT_TRUE(lookup.start("localhost"));
    EXPECT_EQ(awaitAnswer(lookup), TcpSocket::resolveHost("127.0.0.1"));
    held = false;
    for (int i = 0; i < 400 && heldLookupsEnded.load() < 2; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(heldLookupsEnded.load(), 2);
}

}  // namespace
}  // namespace vextora
