// Alerts recorded by the monitor, the status walk, the send queue, the backlog of a new
// receiver and the on/off record.
#include "ntfdb_fixture.h"

using namespace ntftest;

namespace {

struct Send {
    char bytes[NTFDB_SEND_RECORD_SIZE] = {};
    std::string at(int offset, int width) const { return Text(bytes + offset, width); }
};

struct Position {
    unsigned char bytes[NTFDB_STATUS_POSITION_SIZE] = {};
};

std::vector<Send> Drain(Position& pos) {
    std::vector<Send> out;
    for (;;) {
        Send s;
        int r = DBReadSendDB(pos.bytes, s.bytes);
        if (r == 100) break;
        EXPECT_EQ(r, 0);
        if (r != 0) break;
        out.push_back(s);
    }
    return out;
}

TEST_F(NtfTest, FreshInstallationRecordsAnAlertOnceAndHandsItOutOnce) {
    int first = DBGetHandleCounter(), second = DBGetHandleCounter();
    ASSERT_GT(second, first);
    std::string handle = "DV" + std::to_string(second);
    Device d("10.1.1.1");
    ASSERT_EQ(DBSetHandleDevice(handle.c_str(), d.get()), 0);
    std::string alert = Alert(1000, 1, 3, 4, 8, 2, 40022, "paper jam", 777);
    ASSERT_EQ(DBSetSendData(d.get(), alert.c_str(), static_cast<int>(alert.size())), -301);
    // The monitor logs a new alert; from then on it is known.
    std::string log = "2026/12/08\n10:00:00\n3\n4\n3\n8\n2\n5\n40022\npaper jam\n777";
    ASSERT_EQ(DBSetLogData(d.get(), log.c_str(), 0), 0);
    std::string again = Alert(1060, 1, 3, 4, 8, 2, 40022, "paper jam", 777);
    ASSERT_EQ(DBSetSendData(d.get(), again.c_str(), 0), -300);
    auto sts = Rows("ntcsts");
    ASSERT_EQ(sts.size(), 1u);
    EXPECT_EQ(Int(sts[0], 4), 1060) << "a known alert only gets the new time";

    Position pos;
    auto sent = Drain(pos);
    ASSERT_EQ(sent.size(), 1u);
    const Send& s = sent[0];
    EXPECT_EQ(s.at(0, 12), "10");
    EXPECT_EQ(s.at(12, 16), "10.1.1.1");
    EXPECT_EQ(s.at(52, 16), "001122334455");
    EXPECT_EQ(s.at(68, 8), "1");
    EXPECT_EQ(s.at(76, 12), "1060");
    EXPECT_EQ(s.at(88, 12), "1");
    EXPECT_EQ(s.at(100, 12), "3");
    EXPECT_EQ(s.at(112, 12), "4");
    EXPECT_EQ(s.at(124, 12), "3");
    EXPECT_EQ(s.at(136, 12), "8");
    EXPECT_EQ(s.at(148, 12), "2");
    EXPECT_EQ(s.at(160, 12), "5");
    EXPECT_EQ(s.at(172, 12), "40022");
    EXPECT_EQ(s.at(184, 256), "paper jam");
    EXPECT_EQ(s.at(440, 12), "777");
    EXPECT_EQ(Int(Rows("ntcsts")[0], 84), 0) << "handed out: marked sent";
    Position fresh;
    EXPECT_TRUE(Drain(fresh).empty()) << "handed out once only";
}

TEST_F(NtfTest, AnAlertOfAnUnwatchedDeviceIsNotStored) {
    Device d("10.1.1.2");
    EXPECT_EQ(DBSetSendData(d.get(), Alert(1000, 1, 3, 4, 8, 2, 40).c_str(), 0), -300);
    EXPECT_TRUE(Rows("ntcsts").empty());
    ASSERT_EQ(DBSetHandleDevice("PR1", d.get()), 0);  // counters only: no alert watch
    EXPECT_EQ(DBSetSendData(d.get(), Alert(1000, 1, 3, 4, 8, 2, 40).c_str(), 0), -300);
    EXPECT_TRUE(Rows("ntcsts").empty());
    EXPECT_EQ(DBSetSendData(nullptr, "x", 0), -1);
}

TEST_F(NtfTest, WithOnlyASendRecordAKnownAlertIsNotNewAgain) {
    Device d("10.1.1.3");
    ASSERT_EQ(DBSetHandleSend("DV1", d.get(), 30), 0);
    EXPECT_EQ(DBSetSendData(d.get(), Alert(1000, 1, 3, 4, 8, 2, 40).c_str(), 0), -301);
    EXPECT_EQ(DBSetSendData(d.get(), Alert(1010, 1, 3, 4, 8, 2, 40).c_str(), 0), -300);
    // Another code is another alert.
    EXPECT_EQ(DBSetSendData(d.get(), Alert(1010, 1, 4, 4, 8, 2, 41).c_str(), 0), -301);
    EXPECT_EQ(Rows("ntcsts").size(), 2u);
}

// The monitor's clearing pass: walk, keep what it still sees, clear the rest.
int Clear(const Device& d, int keepCode) {
    int file = -1;
    EXPECT_EQ(DBOpenStatusDB(&file), 0);
    unsigned char st[NTFDB_STATUS_RECORD_SIZE] = {};
    std::string id = d.LaidOut();
    std::memcpy(st, id.data(), 76);
    int cleared = 0, r;
    while ((r = DBReadStatusDB(file, st)) == 0) {
        EXPECT_EQ(Text(st + 12, 16), d.text[1]) << "only the named device is walked";
        int32_t code;
        std::memcpy(&code, st + 92, 4);
        if (code == keepCode) continue;
        EXPECT_EQ(DBUpdateSendDB(file, 2, st), 0);
        ++cleared;
    }
    EXPECT_EQ(r, 100);
    EXPECT_EQ(DBCloseStatusDB(), 0);
    return cleared;
}

TEST_F(NtfTest, ClearedAlertsWithoutSendRecordsDisappearAtOnce) {
    Device d("10.1.1.4"), other("10.1.1.5");
    ASSERT_EQ(DBSetHandleDevice("DV1", d.get()), 0);
    ASSERT_EQ(DBSetHandleDevice("DV1", other.get()), 0);
    ASSERT_EQ(DBSetSendData(d.get(), Alert(1000, 1, 3, 4, 8, 2, 40).c_str(), 0), -301);
    ASSERT_EQ(DBSetSendData(d.get(), Alert(1000, 1, 4, 4, 8, 2, 41).c_str(), 0), -301);
    ASSERT_EQ(DBSetSendData(other.get(), Alert(1000, 1, 3, 4, 8, 2, 40).c_str(), 0), -301);
    EXPECT_EQ(Clear(d, 41), 1);
    auto sts = Rows("ntcsts");
    ASSERT_EQ(sts.size(), 2u) << "the other device's alert is not touched";
    for (const auto& r : sts) EXPECT_EQ(Int(r, 84), 1);
    unsigned char st[NTFDB_STATUS_RECORD_SIZE] = {};
    int file = -1;
    ASSERT_EQ(DBOpenStatusDB(&file), 0);
    EXPECT_EQ(DBUpdateSendDB(file, 2, st), -31);
    EXPECT_EQ(DBCloseStatusDB(), 0);
}

TEST_F(NtfTest, ClearedAlertsWithSendRecordsAreHandedOnceThenRemoved) {
    Device d("10.1.1.6");
    ASSERT_EQ(DBSetHandleSend("DV1", d.get(), 30), 0);
    ASSERT_EQ(DBSetSendData(d.get(), Alert(1000, 1, 3, 4, 8, 2, 40).c_str(), 0), -301);
    Position pos;
    ASSERT_EQ(Drain(pos).size(), 1u);  // the new alert
    EXPECT_EQ(Clear(d, -1), 1);
    ASSERT_EQ(Rows("ntcsts").size(), 1u);
    EXPECT_EQ(Int(Rows("ntcsts")[0], 84), 2);
    Position again;
    auto sent = Drain(again);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].at(88, 12), "2");
    EXPECT_TRUE(Rows("ntcsts").empty());
}

TEST_F(NtfTest, DeleteSendDBRemovesTheRecordAtThePosition) {
    Device d("10.1.1.7");
    ASSERT_EQ(DBSetHandleSend("DV1", d.get(), 30), 0);
    ASSERT_EQ(DBSetSendData(d.get(), Alert(1000, 1, 3, 4, 8, 2, 40).c_str(), 0), -301);
    Position pos;
    Send s;
    ASSERT_EQ(DBReadSendDB(pos.bytes, s.bytes), 0);
    ASSERT_EQ(DBDeleteSendDB(pos.bytes), 0);
    EXPECT_TRUE(Rows("ntcsts").empty());
    EXPECT_EQ(DBDeleteSendDB(pos.bytes), -31);
}

TEST_F(NtfTest, ANewReceiverGetsTheAlertsAlreadySentForItsDevices) {
    Device d("10.1.1.8", "1", "to the lab"), e("10.1.1.9");
    ASSERT_EQ(DBSetHandleSend("DV1", d.get(), 30), 0);
    ASSERT_EQ(DBSetHandleSend("DV2", e.get(), 30), 0);
    ASSERT_EQ(DBSetSendData(d.get(), Alert(1000, 1, 3, 4, 8, 2, 40).c_str(), 0), -301);
    ASSERT_EQ(DBSetSendData(d.get(), Alert(1001, 1, 4, 3, 8, 2, 41).c_str(), 0), -301);
    ASSERT_EQ(DBSetSendData(e.get(), Alert(1002, 1, 4, 3, 8, 2, 41).c_str(), 0), -301);
    Send s;
    int flag = -1;
    char text[68];
    int size = sizeof text;
    EXPECT_EQ(DBReadFirstSend("DV1", s.bytes, &flag, text, &size), 100) << "nothing sent yet";
    Position pos;
    ASSERT_EQ(Drain(pos).size(), 3u);

    std::vector<std::string> codes;
    Send b;
    int r;
    while ((r = DBReadFirstSend("DV1", b.bytes, &flag, text, &size)) == 0) {
        codes.push_back(b.at(172, 12));
        EXPECT_EQ(b.at(12, 16), "10.1.1.8");
        EXPECT_STREQ(text, "to the lab");
        EXPECT_EQ(flag, 1);
    }
    EXPECT_EQ(r, 100);
    EXPECT_EQ(codes, (std::vector<std::string>{"40", "41"}));
    Send c;
    char small[4];
    size = sizeof small;
    EXPECT_EQ(DBReadFirstSend("DV1", c.bytes, &flag, small, &size), -3);
    EXPECT_EQ(size, 11);
    EXPECT_EQ(DBReadFirstSend("DV9", c.bytes, &flag, text, &size), -31);
}

TEST_F(NtfTest, OnOffRecordFollowsTheStates) {
    Device d("10.1.1.10"), nobody("10.1.1.11");
    std::string off = Alert(1000, 3, 0, 0, 0, 0, 0, " ");
    ASSERT_EQ(DBSetOnOff(nobody.get(), off.c_str(), 0), 0);
    EXPECT_TRUE(Rows("ntcsts").empty()) << "nobody watches that printer";
    ASSERT_EQ(DBSetHandleDevice("DV1", d.get()), 0);
    EXPECT_EQ(DBReadOnOff(d.get()), -31);
    ASSERT_EQ(DBSetOnOff(d.get(), Alert(1000, 5, 0, 0, 0, 0, 0, " ").c_str(), 0), 0);
    EXPECT_TRUE(Rows("ntcsts").empty()) << "state 5 without a record adds nothing";
    ASSERT_EQ(DBSetOnOff(d.get(), off.c_str(), 0), 0);
    EXPECT_EQ(DBReadOnOff(d.get()), 0);
    ASSERT_EQ(Rows("ntcsts").size(), 1u);
    EXPECT_EQ(Int(Rows("ntcsts")[0], 84), 3);
    // The answers flag set: the record is kept by DBDeleteOnOff.
    ASSERT_EQ(DBSetOnOff(d.get(), Alert(1100, 3, 0, 1, 0, 0, 0, " ").c_str(), 0), 0);
    EXPECT_EQ(DBReadOnOff(d.get()), 1);
    ASSERT_EQ(Rows("ntcsts").size(), 1u);
    EXPECT_EQ(Int(Rows("ntcsts")[0], 4), 1100);
    EXPECT_EQ(DBDeleteOnOff(d.get()), 0);
    EXPECT_EQ(Rows("ntcsts").size(), 1u);
    ASSERT_EQ(DBSetOnOff(d.get(), off.c_str(), 0), 0);  // flag back to 0
    EXPECT_EQ(DBDeleteOnOff(d.get()), 0);
    EXPECT_TRUE(Rows("ntcsts").empty());
    EXPECT_EQ(DBDeleteOnOff(d.get()), 0);
    // The status walk never shows the on/off record.
    ASSERT_EQ(DBSetOnOff(d.get(), off.c_str(), 0), 0);
    EXPECT_EQ(Clear(d, -1), 0);
    ASSERT_EQ(DBSetOnOff(d.get(), Alert(1200, 5, 0, 0, 0, 0, 0, " ").c_str(), 0), 0);
    EXPECT_TRUE(Rows("ntcsts").empty()) << "state 5 deletes it";
}

TEST_F(NtfTest, PollingSettingsAreSetOnTheDeviceRecord) {
    Device d("10.1.1.12", "1");
    ASSERT_EQ(DBSetPolling(d.get(), 10, 20, 30), 0);
    auto dev = Rows("ntcdev");
    ASSERT_EQ(dev.size(), 1u);
    EXPECT_EQ(Int(dev[0], 80), 10);
    EXPECT_EQ(Int(dev[0], 84), 20);
    EXPECT_EQ(Int(dev[0], 88), 30);
    EXPECT_EQ(Int(dev[0], 92), 1);
    EXPECT_EQ(Int(dev[0], 104), 0);
    ASSERT_EQ(DBSetHandleDevice("DV1", d.get()), 0);
    ASSERT_EQ(DBSetPolling(d.get(), 11, 21, 31), 0);
    dev = Rows("ntcdev");
    EXPECT_EQ(Int(dev[0], 80), 11);
    EXPECT_EQ(Int(dev[0], 104), 1) << "the counts stay";
}

}  // namespace
