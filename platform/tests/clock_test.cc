#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include <cctype>

#include "qm/platform/clock.h"

namespace qm::platform {

namespace {
class ZoneGuard {
public:
    explicit ZoneGuard(const char* tz) {
        if (const char* old = getenv("TZ")) old_ = old, had_ = true;
        setenv("TZ", tz, 1);
        tzset();
    }
    ~ZoneGuard() {
        if (had_) setenv("TZ", old_.c_str(), 1);
        else unsetenv("TZ");
        tzset();
    }

private:
    std::string old_;
    bool had_ = false;
};
}  // namespace

TEST(Clock, LocalSecondsCarryTheZoneAndDaylightBias) {
    const time_t winter = 1704067200;  // 2024-01-01 00:00:00 UTC
    const time_t summer = 1719792000;  // 2024-07-01 00:00:00 UTC
    {
        ZoneGuard z("JST-9");
        EXPECT_EQ(LocalSecondsAt(winter), winter + 9 * 3600);
    }
    {
        ZoneGuard z("EST5EDT,M3.2.0,M11.1.0");
        EXPECT_EQ(LocalSecondsAt(winter), winter - 5 * 3600);
        EXPECT_EQ(LocalSecondsAt(summer), summer - 4 * 3600) << "daylight bias included";
        EXPECT_EQ(DateText(LocalSecondsAt(summer)), "2024/06/30");
        EXPECT_EQ(TimeText(LocalSecondsAt(summer)), "20:00:00");
    }
}

TEST(Clock, TextsRoundTrip) {
    auto t = LocalSecondsFromText("2026/12/08", "14:03:07");
    ASSERT_TRUE(t.has_value());
    EXPECT_EQ(DateText(*t), "2026/12/08");
    EXPECT_EQ(TimeText(*t), "14:03:07");
    EXPECT_EQ(LocalSecondsFromText("2024/02/29", ""), 1709164800);
    for (const char* bad : {"2023/02/29", "2026/13/01", "2026/1/01", "abcd/ef/gh", ""}) {
        EXPECT_FALSE(LocalSecondsFromText(bad, "00:00:00").has_value()) << bad;
    }
    EXPECT_FALSE(LocalSecondsFromText("2026/12/08", "24:00:00").has_value());
    EXPECT_FALSE(LocalSecondsFromText("2026/12/08", "1:00:00").has_value());
}

TEST(Clock, ComputerNameAndPlatform) {
    std::string name = ComputerName();
    EXPECT_FALSE(name.empty());
    EXPECT_LE(name.size(), 15u);
    for (char c : name) EXPECT_FALSE(std::islower(static_cast<unsigned char>(c)));
    EXPECT_EQ(name.find('.'), std::string::npos);
    EXPECT_EQ(PlatformClass(), 2);
}

}  // namespace qm::platform
