// The polling reads the monitor builds its polling list from.
#include "ntfdb_fixture.h"

using namespace ntftest;

namespace {

// The monitor builds its polling list from these two reads.
TEST_F(NtfTest, LogPollingListsDevicesWithARunningWatch) {
    Device a("10.7.0.1", "1"), b("10.7.0.2"), c("10.7.0.3");
    ASSERT_EQ(DBSetHandleDevice("DV1", a.get()), 0);
    ASSERT_EQ(DBSetHandleDevice("CS1", a.get()), 0);
    ASSERT_EQ(DBSetPolling(b.get(), 1, 2, 3), 0);  // no watch: not polled
    ASSERT_EQ(DBSetHandleDevice("PR1", c.get()), 0);
    unsigned char poll[NTFDB_POLLING_RECORD_SIZE] = {};
    ASSERT_EQ(DBReadLogPolling(poll), 0);
    Bytes r(poll, poll + sizeof poll);
    EXPECT_EQ(Text(poll + 28, 16), "10.7.0.1");
    EXPECT_EQ(Int(r, 92), 1);
    EXPECT_EQ(Int(r, 96), 1);
    EXPECT_EQ(Int(r, 100), 0);
    EXPECT_EQ(Int(r, 104), 1);
    EXPECT_EQ(Int(r, 108), 60);
    EXPECT_EQ(Int(r, 112), 3600);
    EXPECT_EQ(Int(r, 116), 86400);
    ASSERT_EQ(DBReadLogPolling(poll), 0);
    EXPECT_EQ(Text(poll + 28, 16), "10.7.0.3");
    EXPECT_EQ(Int(Bytes(poll, poll + sizeof poll), 100), 1);
    EXPECT_EQ(DBReadLogPolling(poll), -31);
}

}  // namespace
