// The notice datagram byte for byte, the acknowledgement reading and the level filter.
#include "qm/notifier/datagram.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>

#include "qm/platform/clock.h"

namespace qm::notifier {
namespace {

void Put(char* r, size_t at, const std::string& text) { std::memcpy(r + at, text.data(), text.size()); }

// A send record laid out as the notification database fills it.
struct Record {
    char bytes[kSendRecordSize] = {};
    Record(const std::string& time, const std::string& kind, const std::string& index,
           const std::string& severity, const std::string& training = "5") {
        Put(bytes, 0, "10");
        Put(bytes, 12, "127.0.0.21");
        Put(bytes, 52, "001122334455");
        Put(bytes, 68, "1");
        Put(bytes, 76, time);
        Put(bytes, 88, kind);
        Put(bytes, 100, index);
        Put(bytes, 112, severity);
        Put(bytes, 124, training);
        Put(bytes, 136, "8");
        Put(bytes, 148, "1");
        Put(bytes, 160, "12");
        Put(bytes, 172, "7");
        Put(bytes, 184, "Paper jam, tray 2");
        Put(bytes, 440, "1234");
    }
};

TEST(Datagram, AlertNoticeCarriesEveryFieldInOrder) {
    const int64_t t = 1765198800;  // 2025/12/08 13:00:00 as local seconds
    Record r(std::to_string(t), "1", "4", "3");
    SendFields f = ReadSendRecord(r.bytes);
    EXPECT_EQ(WithSequence(1, NoticeBody(kKindAlert, 7001, f, "front desk")),
              "1,1,7001,10,127.0.0.21,,001122334455,1,2025/12/08 13:00:00,4,3,5,8,1,12,7,"
              "Paper jam, tray 2,1234,front desk");
}

TEST(Datagram, NoticesWithoutAlertLeaveAlertFieldsEmpty) {
    Record r("1765198800", "3", "0", "0");
    SendFields f = ReadSendRecord(r.bytes);
    EXPECT_EQ(NoticeBody(kKindNotAnswering, 7002, f, "desk"),
              "3,7002,10,127.0.0.21,,001122334455,1,2025/12/08 13:00:00,,,,,,,,,,");
    // A time that does not read leaves its field empty rather than inventing a date.
    Record bad("", "1", "4", "3");
    f = ReadSendRecord(bad.bytes);
    EXPECT_NE(NoticeBody(kKindAlert, 7002, f, "").find(",1,,4,3,"), std::string::npos);
}

TEST(Datagram, ControlDatagrams) {
    EXPECT_EQ(WithSequence(3, ControlBody(kKindIdle, 7001)), "3,0,7001,,,,,,,,,,,,,,,,");
    EXPECT_EQ(WithSequence(4, ControlBody(kKindEnd, 7001)), "4,7,7001,0,,,,,,,,,,,,,,,");
    EXPECT_EQ(WithSequence(5, ControlBody(kKindGoodbye, 7001)), "5,9,7001,,,,,,,,,,,,,,,,");
    std::vector<std::string> fields;
    ASSERT_TRUE(SplitDatagram(WithSequence(5, ControlBody(kKindEnd, 7001)), &fields));
    EXPECT_EQ(fields[3], "0");
}

TEST(Datagram, FieldsNeverRunPastTheirWidthsOrTheBuffer) {
    // A record with no terminators anywhere: every field stops at its width.
    char full[kSendRecordSize];
    std::memset(full, '9', sizeof full);
    SendFields f = ReadSendRecord(full);
    EXPECT_EQ(f.key[0].size(), 12u);
    EXPECT_EQ(f.key[4].size(), 8u);
    EXPECT_EQ(f.description.size(), 256u);
    EXPECT_EQ(f.printerTime.size(), 12u);
    std::string text = WithSequence(INT32_MAX, NoticeBody(kKindAlert, 65535, f, std::string(900, 'x')));
    EXPECT_EQ(text.size(), kDatagramBuffer - 1);
}

TEST(Datagram, SequenceRestartsAtZeroAfterTheLargest) {
    EXPECT_EQ(NextSequence(0), 1);
    EXPECT_EQ(NextSequence(41), 42);
    EXPECT_EQ(NextSequence(INT32_MAX), 1);
}

TEST(Datagram, Acknowledgement) {
    auto ack = [](const std::string& s, int32_t seq) { return IsAcknowledgement(s.data(), s.size(), seq); };
    EXPECT_TRUE(ack("5,8", 5));
    EXPECT_TRUE(ack("5,8,more fields", 5));
    EXPECT_TRUE(ack("5, 8", 5));
    EXPECT_TRUE(ack(std::string("5,8\0junk", 8), 5));
    EXPECT_TRUE(ack("2147483647,8", INT32_MAX));
    EXPECT_FALSE(ack("4,8", 5)) << "an older sequence number is not an answer";
    EXPECT_FALSE(ack("5,9", 5));
    EXPECT_FALSE(ack("5,", 5));
    EXPECT_FALSE(ack("5", 5));
    EXPECT_FALSE(ack(",8", 0));
    EXPECT_FALSE(ack("x5,8", 5));
    EXPECT_FALSE(ack("-5,8", -5));
    EXPECT_FALSE(ack("99999999999999999999,8", 5));
    EXPECT_FALSE(ack("4294967301,8", 5)) << "no wrap-around to 5";
    EXPECT_FALSE(ack("", 0));
    EXPECT_FALSE(IsAcknowledgement(nullptr, 3, 0));
    // Exactly the bytes received: "5,8" cut to "5," is not an answer.
    EXPECT_FALSE(IsAcknowledgement("5,8", 2, 5));
}

TEST(Datagram, LevelFilter) {
    for (int level : {0, 1, 2, 3, 7}) {
        EXPECT_TRUE(PassesLevel(level, kKindNotAnswering, "", "")) << level;
        EXPECT_TRUE(PassesLevel(level, kKindAnswering, "9", "")) << level;
    }
    EXPECT_TRUE(PassesLevel(0, kKindAlert, "1", "1"));
    EXPECT_TRUE(PassesLevel(1, kKindAlert, "4", "1"));
    EXPECT_TRUE(PassesLevel(1, kKindAlert, "3", "1"));
    EXPECT_FALSE(PassesLevel(1, kKindAlert, "1", "1"));
    EXPECT_TRUE(PassesLevel(2, kKindAlert, "3", "1"));
    EXPECT_FALSE(PassesLevel(2, kKindAlert, "4", "1")) << "a warning does not reach level 2";
    EXPECT_TRUE(PassesLevel(3, kKindCleared, "3", "5"));
    EXPECT_FALSE(PassesLevel(3, kKindAlert, "3", "4"));
    EXPECT_FALSE(PassesLevel(4, kKindAlert, "3", "5"));
}

TEST(Datagram, BacklogKindFromTheRecord) {
    EXPECT_EQ(BacklogKind(ReadSendRecord(Record("1", "0", "4", "3").bytes)), kKindAlert);
    EXPECT_EQ(BacklogKind(ReadSendRecord(Record("1", "0", "0", "0").bytes)), kKindNotAnswering);
    EXPECT_EQ(BacklogKind(ReadSendRecord(Record("1", "0", "0", "1").bytes)), kKindAnswering);
    EXPECT_EQ(BacklogKind(ReadSendRecord(Record("1", "6", "0", "2").bytes)), 6);
}

TEST(Datagram, SplitGivesSurplusCommasToTheDescription) {
    std::vector<std::string> f;
    ASSERT_TRUE(SplitDatagram("1,1,7001,10,127.0.0.21,,001122334455,1,2025/12/08 13:00:00,4,3,5,8,1,12,7,"
                              "Paper jam, tray 2,1234,front desk",
                              &f));
    ASSERT_EQ(f.size(), 19u);
    EXPECT_EQ(f[16], "Paper jam, tray 2");
    EXPECT_EQ(f[17], "1234");
    EXPECT_EQ(f[18], "front desk");
    EXPECT_FALSE(SplitDatagram("1,2,3", &f));
}

}  // namespace
}  // namespace qm::notifier
