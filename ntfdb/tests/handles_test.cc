// Watches, keep-alive and sweep, send records and notice destinations.
#include "ntfdb_fixture.h"

using namespace ntftest;

namespace {

// ntcdev: identity at 4, flag 92, counts 96 "PR", 100 "CS", 104 "DV"/"GR".
TEST_F(NtfTest, AWatchAddsOneControlRecordAndCountsTheDeviceOnce) {
    Device d("10.1.2.3", "1", "group text");
    ASSERT_EQ(DBSetHandleDevice("DV100", d.get()), 0);
    ASSERT_EQ(DBSetHandleDevice("DV100", d.get()), 0);  // already watching: nothing changes
    ASSERT_EQ(DBReadHandle("DV100"), 0);
    ASSERT_EQ(DBSetHandleDevice("DV100", d.get()), 0);  // also once it has been read
    auto ctl = Rows("ntcctl");
    ASSERT_EQ(ctl.size(), 1u);
    EXPECT_EQ(Text(ctl[0], 8, 16), "DV100");
    EXPECT_EQ(Text(ctl[0], 36, 16), "10.1.2.3");
    EXPECT_GT(Int(ctl[0], 100), 0);
    EXPECT_EQ(Int(ctl[0], 104), 0);
    EXPECT_EQ(Int(ctl[0], 176), 1);
    EXPECT_EQ(Text(ctl[0], 108, 68), "") << "the text is kept for group watches only";
    EXPECT_EQ(Text(ctl[0], 180, 12).size(), 10u);  // "%Y/%m/%d"
    EXPECT_EQ(Text(ctl[0], 192, 12).size(), 8u);   // "%H:%M:%S"
    EXPECT_EQ(Text(ctl[0], 204, 12), "");

    ASSERT_EQ(DBSetHandleDevice("GR7", d.get()), 0);
    ASSERT_EQ(DBSetHandleDevice("CS8", d.get()), 0);
    auto dev = Rows("ntcdev");
    ASSERT_EQ(dev.size(), 1u);
    EXPECT_EQ(Int(dev[0], 80), 3600);
    EXPECT_EQ(Int(dev[0], 84), 86400);
    EXPECT_EQ(Int(dev[0], 88), 60);
    EXPECT_EQ(Int(dev[0], 92), 1);
    EXPECT_EQ(Int(dev[0], 96), 0);
    EXPECT_EQ(Int(dev[0], 100), 1);
    EXPECT_EQ(Int(dev[0], 104), 2);
    auto groups = Rows("ntcctl");
    ASSERT_EQ(groups.size(), 3u);
    bool sawGroupText = false;
    for (const auto& r : groups) sawGroupText |= Text(r, 108, 68) == "group text";
    EXPECT_TRUE(sawGroupText);
    EXPECT_EQ(DBSetHandleDevice("XX1", d.get()), -1) << "a handle must have a known kind";
    EXPECT_EQ(DBSetHandleDevice("DV1", nullptr), -1);
}

TEST_F(NtfTest, LongTextsAreCutToTheirFields) {
    std::string longIp(40, '9'), longText(300, 't');
    Device d(longIp, "0", longText);
    ASSERT_EQ(DBSetHandleDevice("GR_a_very_long_handle_text", d.get()), 0);
    auto ctl = Rows("ntcctl");
    ASSERT_EQ(ctl.size(), 1u);
    EXPECT_EQ(Text(ctl[0], 8, 16), "GR_a_very_long_");
    EXPECT_EQ(Text(ctl[0], 36, 16), std::string(15, '9'));
    EXPECT_EQ(Text(ctl[0], 108, 68), std::string(67, 't'));
    EXPECT_EQ(DBReadHandle("GR_a_very_long_handle_text"), 0) << "looked up the same way";
}

TEST_F(NtfTest, KeepAliveMarksAndUnknownHandlesAnswerNoRecord) {
    Device a("10.0.0.1"), b("10.0.0.2");
    ASSERT_EQ(DBSetHandleDevice("DV1", a.get()), 0);
    ASSERT_EQ(DBSetHandleDevice("DV1", b.get()), 0);
    ASSERT_EQ(DBReadHandle("DV1"), 0);
    for (const auto& r : Rows("ntcctl")) EXPECT_EQ(Int(r, 4), 1);
    EXPECT_EQ(DBReadHandle("DV1"), 0);
    EXPECT_EQ(DBReadHandle("DV2"), -31);
    EXPECT_EQ(DBDeleteHandle("DV2"), -31);
}

TEST_F(NtfTest, SweepDeletesAHandleAtTheSecondSweepAfterItsLastRead) {
    Device a("10.0.0.1"), b("10.0.0.2");
    ASSERT_EQ(DBSetHandleDevice("DVlive", a.get()), 0);
    ASSERT_EQ(DBSetHandleDevice("DVgone", b.get()), 0);
    ASSERT_EQ(DBReadHandle("DVlive"), 0);
    ASSERT_EQ(DBReadHandle("DVgone"), 0);
    ASSERT_EQ(DBEndHandle(), 0);  // both were read: both stay, marks back to 0
    EXPECT_EQ(Rows("ntcctl").size(), 2u);
    ASSERT_EQ(DBReadHandle("DVlive"), 0);  // only one client keeps reading
    ASSERT_EQ(DBEndHandle(), 0);
    auto ctl = Rows("ntcctl");
    ASSERT_EQ(ctl.size(), 1u);
    EXPECT_EQ(Text(ctl[0], 8, 16), "DVlive");
    EXPECT_EQ(Rows("ntcdev").size(), 1u) << "the gone handle's device is no longer polled";
    // A handle that was read survives even with a watch added after its read.
    Device c("10.0.0.3");
    ASSERT_EQ(DBReadHandle("DVlive"), 0);
    ASSERT_EQ(DBSetHandleDevice("DVlive", c.get()), 0);
    ASSERT_EQ(DBEndHandle(), 0);
    EXPECT_EQ(Rows("ntcctl").size(), 2u);
}

TEST_F(NtfTest, DeleteHandleEndsEveryWatchAndTheDeviceCounts) {
    Device a("10.0.0.1"), b("10.0.0.2");
    ASSERT_EQ(DBSetHandleDevice("DV1", a.get()), 0);
    ASSERT_EQ(DBSetHandleDevice("DV1", b.get()), 0);
    ASSERT_EQ(DBSetHandleDevice("DV2", a.get()), 0);
    ASSERT_EQ(DBSetHandleSend("PR9", b.get(), 30), 0);
    ASSERT_EQ(DBSetSendData(b.get(), Alert(100, 1, 4, 3, 8, 1, 40).c_str(), 0), -301);
    ASSERT_EQ(DBDeleteHandle("DV1"), 0);
    auto ctl = Rows("ntcctl");
    ASSERT_EQ(ctl.size(), 1u);
    EXPECT_EQ(Text(ctl[0], 8, 16), "DV2");
    auto dev = Rows("ntcdev");
    ASSERT_EQ(dev.size(), 1u) << "b's last watch went; a is still watched by DV2";
    EXPECT_EQ(Text(dev[0], 16, 16), "10.0.0.1");
    EXPECT_EQ(Int(dev[0], 104), 1);
    EXPECT_EQ(Rows("ntcsts").size(), 1u) << "b still has a send record, so its alert stays";
    EXPECT_EQ(DBDeleteDevice("DV1", a.get()), -31);
    EXPECT_EQ(DBDeleteDevice("DV2", a.get()), 0);
    EXPECT_TRUE(Rows("ntcdev").empty());
}

TEST_F(NtfTest, SendRecordsAreCheckedAndReadBack) {
    Device d("10.0.0.5", "2", "for the front desk");
    ASSERT_EQ(DBSetHandleSend("DV5", d.get(), 45), 0);
    EXPECT_EQ(DBSetHandleSend("DV5", d.get(), 45), -1) << "one send record per handle and device";
    std::string id = d.LaidOut();
    EXPECT_EQ(DBSendHandleCheck("DV5", id.c_str()), 0);
    EXPECT_EQ(DBSendHandleCheck("DV6", id.c_str()), -31);
    int flag = -1;
    char small[4];
    int size = sizeof small;
    EXPECT_EQ(DBGetHandleData("DV5", id.c_str(), &flag, small, &size), -3);
    EXPECT_EQ(size, 19);
    char text[68];
    size = sizeof text;
    ASSERT_EQ(DBGetHandleData("DV5", id.c_str(), &flag, text, &size), 0);
    EXPECT_STREQ(text, "for the front desk");
    EXPECT_EQ(flag, 2);
    EXPECT_EQ(DBGetHandleData("DV6", id.c_str(), &flag, text, &size), -31);

    // The polling read walks send records device first, then handle.
    Device e("10.0.0.4");
    ASSERT_EQ(DBSetHandleSend("DV7", e.get(), 30), 0);
    ASSERT_EQ(DBSetHandleSend("DV4", d.get(), 90), 0);
    unsigned char poll[NTFDB_POLLING_RECORD_SIZE] = {};
    std::vector<std::pair<std::string, int>> seen;
    while (DBReadSendPolling(poll) == 0) {
        seen.emplace_back(Text(poll + 28, 16) + "/" + Text(poll, 16), Int(Bytes(poll, poll + 128), 120));
        EXPECT_EQ(Text(poll + 16, 12), "10");
        EXPECT_EQ(Text(poll + 68, 16), "001122334455");
    }
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[0], (std::pair<std::string, int>{"10.0.0.4/DV7", 30}));
    EXPECT_EQ(seen[1], (std::pair<std::string, int>{"10.0.0.5/DV4", 90}));
    EXPECT_EQ(seen[2], (std::pair<std::string, int>{"10.0.0.5/DV5", 45}));
    EXPECT_EQ(DBReadSendPolling(poll), -31);
}

TEST_F(NtfTest, NoticeDestinationsMoveBetweenHandles) {
    Device d("10.0.0.8");
    Notice n("192.0.2.10", 7001, "desk");
    ASSERT_EQ(DBSetHandleSend("DVa", d.get(), 30), 0);
    ASSERT_EQ(DBSetHandleNotice("DVa", n.bytes), 0);
    Notice other("192.0.2.11", 7002);
    EXPECT_EQ(DBSetHandleNotice("DVa", other.bytes), -1) << "one destination per handle";

    char got[NTFDB_NOTICE_SIZE];
    std::memset(got, 'x', sizeof got);
    ASSERT_EQ(DBGetHandleNotice("DVa", got), 0);
    EXPECT_EQ(Text(got, 16), "192.0.2.10");
    EXPECT_EQ(Text(got + 16, 132), "desk");
    int32_t number;
    std::memcpy(&number, got + 196, 4);
    EXPECT_EQ(number, 7001);
    EXPECT_EQ(DBGetHandleNotice("DVb", got), -31);

    char handle[16];
    int size = sizeof handle;
    ASSERT_EQ(DBGetUDP("192.0.2.10", "7001", handle, &size), 0);
    EXPECT_STREQ(handle, "DVa");
    size = 2;
    EXPECT_EQ(DBGetUDP("192.0.2.10", "7001", handle, &size), -3);
    EXPECT_EQ(size, 4);
    EXPECT_EQ(DBGetUDP("192.0.2.10", "7009", handle, &size), -31);

    // The same destination for another handle: DVa loses it and its send records.
    ASSERT_EQ(DBSetHandleSend("DVb", d.get(), 30), 0);
    ASSERT_EQ(DBSetHandleNotice("DVb", n.bytes), 0);
    EXPECT_EQ(DBGetHandleNotice("DVa", got), -31);
    std::string id = d.LaidOut();
    EXPECT_EQ(DBSendHandleCheck("DVa", id.c_str()), -31);
    EXPECT_EQ(DBSendHandleCheck("DVb", id.c_str()), 0);
    // Again for the same handle: its send records go, the destination is stored again.
    ASSERT_EQ(DBSetHandleNotice("DVb", n.bytes), 0);
    EXPECT_EQ(DBSendHandleCheck("DVb", id.c_str()), -31);
    ASSERT_EQ(DBGetHandleNotice("DVb", got), 0);
    EXPECT_EQ(Rows("ntcto").size(), 1u);

    ASSERT_EQ(DBDeleteNotice("DVb"), 0);
    EXPECT_EQ(DBDeleteNotice("DVb"), -1) << "no destination to remove";
    EXPECT_TRUE(Rows("ntcto").empty());
}

TEST_F(NtfTest, RemovingTheLastNoticeOfAnUnwatchedDeviceDropsItsStatusRecords) {
    Device d("10.0.0.9"), w("10.0.0.10");
    Notice n("192.0.2.20", 7100);
    ASSERT_EQ(DBSetHandleSend("DVn", d.get(), 30), 0);
    ASSERT_EQ(DBSetHandleSend("DVn", w.get(), 30), 0);
    ASSERT_EQ(DBSetHandleDevice("DVw", w.get()), 0);
    ASSERT_EQ(DBSetHandleNotice("DVn", n.bytes), 0);
    ASSERT_EQ(DBSetSendData(d.get(), Alert(100, 1, 2, 3, 8, 1, 40).c_str(), 0), -301);
    ASSERT_EQ(DBSetSendData(w.get(), Alert(100, 1, 2, 3, 8, 1, 40).c_str(), 0), -301);
    ASSERT_EQ(DBDeleteNotice2("DVn"), 0);
    auto sts = Rows("ntcsts");
    ASSERT_EQ(sts.size(), 1u) << "the watched device keeps its alert";
    EXPECT_EQ(Text(sts[0], 20, 16), "10.0.0.10");
    EXPECT_TRUE(Rows("ntchdl").empty());
}

}  // namespace

namespace {

// The destinations are walked in handle order from any handle, each with its notice, and the
// walk ends after the last one.
TEST_F(NtfTest, NoticeDestinationsAreWalkedInHandleOrder) {
    char next[16], got[NTFDB_NOTICE_SIZE];
    EXPECT_EQ(DBNextHandleNotice(nullptr, next, got), -31) << "none registered";
    for (auto [h, port] : {std::pair{"DV2", 7002}, {"DV1", 7001}, {"DV3", 7003}}) {
        Notice n("192.0.2." + std::to_string(port - 7000), port, std::string("text of ") + h);
        ASSERT_EQ(DBSetHandleNotice(h, n.bytes), 0);
    }
    std::vector<std::string> walked;
    std::string from;
    for (int r; (r = DBNextHandleNotice(from.c_str(), next, got)) == 0;) {
        int32_t number;
        std::memcpy(&number, got + 196, 4);
        walked.push_back(Text(next, 16) + " " + Text(got, 16) + ":" + std::to_string(number) + " " + Text(got + 16, 132));
        from = Text(next, 16);
        ASSERT_LT(walked.size(), 4u) << "the walk does not end";
    }
    EXPECT_EQ(walked, (std::vector<std::string>{"DV1 192.0.2.1:7001 text of DV1", "DV2 192.0.2.2:7002 text of DV2",
                                                "DV3 192.0.2.3:7003 text of DV3"}));
    // From a handle that is not registered, the next one after it.
    ASSERT_EQ(DBNextHandleNotice("DV1x", next, got), 0);
    EXPECT_EQ(Text(next, 16), "DV2");
    EXPECT_EQ(DBNextHandleNotice("DV2", nullptr, got), -1);
}

}  // namespace
