#include <gtest/gtest.h>

#include "server/payload_reader.h"
#include "server/user_info.h"

namespace vextora {
namespace {

TEST(RateWindow, FiveThousandBytesInOneWindowGiveFourKilobytes) {
    RateWindow rate;
    rate.update(10000);
    rate.add(5000);
    rate.update(10999);
    EXPECT_EQ(rate.lastSecondBytes(), 0u) << "the window is not over yet";
    rate.update(11000);
    EXPECT_EQ(rate.lastSecondBytes(), 5000u);
    EXPECT_EQ(rate.kilobytesPerSecond(), 4u);
}

TEST(RateWindow, ALongGapClosesOneWindowPerUpdateUntilCaughtUp) {
    RateWindow rate;
    rate.update(20000);
    rate.add(7000);
    rate.update(23500);  // 3.5 s later: closes the first window only
    EXPECT_EQ(rate.lastSecondBytes(), 7000u);
    rate.add(100);
    rate.update(23600);  // start is now 21000: still behind, closes another
    EXPECT_EQ(rate.lastSecondBytes(), 100u);
    rate.add(50);
    rate.update(23700);  // start 22000 -> 23000
    EXPECT_EQ(rate.lastSecondBytes(), 50u);
    rate.add(25);
    rate.update(23800);  // start 23000: window not over, nothing closes
    EXPECT_EQ(rate.lastSecondBytes(), 50u);
}

TEST(RateWindow, ResetStartsANewWindowAtTheNextUpdate) {
    RateWindow rate;
    rate.update(1000);
    rate.add(4096);
    rate.update(2000);
    EXPECT_EQ(rate.kilobytesPerSecond(), 4u);
    rate.reset();
    EXPECT_EQ(rate.lastSecondBytes(), 0u);
    rate.update(50000);
    rate.add(1);
    rate.update(50999);
    EXPECT_EQ(rate.lastSecondBytes(), 0u);
    rate.update(51000);
    EXPECT_EQ(rate.lastSecondBytes(), 1u);
}

TEST(RateWindow, WindowsSpanTheTickWrap) {
    RateWindow rate;
    rate.update(0xFFFFFF00u);
    rate.add(2048);
    rate.update(0x000002F0u);  // 1008 ms later, across the wrap
    EXPECT_EQ(rate.kilobytesPerSecond(), 2u);
}

TEST(PayloadReader, FieldsNeverReadPastTheEnd) {
    const std::uint8_t bytes[] = {3, 'a', 'b', 'c', 0, 0, 1, 0, 9};
    PayloadReader reader(bytes);
    EXPECT_EQ(reader.text(), "abc");
    EXPECT_EQ(reader.uint32(), 256u);
    EXPECT_EQ(reader.byte(), 9);
    EXPECT_FALSE(reader.byte());
    const std::uint8_t claimsTooMuch[] = {5, 'a', 'b'};
    PayloadReader shortReader(claimsTooMuch);
    EXPECT_FALSE(shortReader.text());
    EXPECT_EQ(shortReader.remaining(), 3u) << "a failed read consumes nothing";
    EXPECT_FALSE(shortReader.uint32());
}

TEST(Names, UppercaseTouchesOnlyAsciiLettersAndNulEndsText) {
    std::string name = "bob-\xe9z{}";
    uppercaseInPlace(name);
    EXPECT_EQ(name, "BOB-\xe9Z{}");
    EXPECT_EQ(untilNul(std::string_view("ab\0cd", 5)), "ab");
}

}  // namespace
}  // namespace vextora
