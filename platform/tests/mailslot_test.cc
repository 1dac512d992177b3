#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>

#include "qm/platform/clock.h"
#include "qm/platform/named_objects.h"
#include "qm/testing/testing.h"

namespace qm::platform {

using testing::Child;
using testing::TempRoot;

namespace {
std::string ReceiveText(MailslotReader& r, uint32_t timeoutMs = 2000) {
    char buf[1024];
    size_t n = 0;
    if (r.Receive(buf, &n, timeoutMs) != 0) return "<none>";
    return std::string(buf, n);
}
}  // namespace

TEST(Mailslot, NamesOfThisComputerMeetInOneSlot) {
    TempRoot root;
    EXPECT_EQ(NormaliseMailslotName("\\\\.\\MAILSLOT\\Qntfmgr"), "qntfmgr");
    EXPECT_EQ(NormaliseMailslotName("\\\\" + ComputerName() + "\\mailslot\\QNTFMGR"), "qntfmgr");
    EXPECT_EQ(NormaliseMailslotName("\\\\OTHERBOX\\MAILSLOT\\Qntfmgr"), "");
    EXPECT_EQ(NormaliseMailslotName("Qntfmgr"), "");
    EXPECT_EQ(NormaliseMailslotName("\\\\.\\MAILSLOT\\"), "");

    MailslotReader reader;
    ASSERT_EQ(reader.Create("\\\\.\\MAILSLOT\\Qntfmgr"), 0);
    MailslotReader second;
    EXPECT_EQ(second.Create("\\\\.\\mailslot\\qntfmgr"), kErrAlreadyExists);
    MailslotWriter w;
    ASSERT_EQ(w.Open("\\\\" + ComputerName() + "\\MAILSLOT\\Qntfmgr"), 0);
    ASSERT_EQ(w.Write("11"), 0);
    EXPECT_EQ(ReceiveText(reader), "11");
    MailslotWriter remote;
    EXPECT_EQ(remote.Open("\\\\OTHERBOX\\MAILSLOT\\Qntfmgr"), kErrBadNetPath);
}

TEST(Mailslot, MessagesKeepTheirBoundariesAcrossProcesses) {
    TempRoot root;
    MailslotReader reader;
    ASSERT_EQ(reader.Create("\\\\.\\MAILSLOT\\Qmonmgr"), 0);
    EXPECT_EQ(reader.NextMessageSize(), kMailslotNoMessage);
    Child writer([] {
        for (const char* m : {"5", "13", "end"}) {
            MailslotWriter w;  // opened, written once and closed, as the services do
            if (w.Open("\\\\.\\MAILSLOT\\Qmonmgr") != 0 || w.Write(m) != 0) return 1;
        }
        return 0;
    });
    EXPECT_EQ(writer.Wait(), 0);
    EXPECT_EQ(reader.NextMessageSize(), 1u);
    EXPECT_EQ(ReceiveText(reader), "5");
    EXPECT_EQ(ReceiveText(reader), "13");
    EXPECT_EQ(ReceiveText(reader), "end");
    char buf[8];
    size_t n = 99;
    EXPECT_EQ(reader.Receive(buf, &n, 20), kWaitTimeout);
    EXPECT_EQ(n, 0u);
}

TEST(Mailslot, WritingWithoutReaderFailsAndADeadReaderCanBeReplaced) {
    TempRoot root;
    MailslotWriter w;
    EXPECT_EQ(w.Open("\\\\.\\MAILSLOT\\Qntfmgr"), kErrFileNotFound);
    testing::Holder reader([&](const testing::Holder::Hold& hold) {
        MailslotReader r;
        if (r.Create("\\\\.\\MAILSLOT\\Qntfmgr") != 0) return 1;
        hold();
        return 0;
    });
    ASSERT_TRUE(reader.ready());
    ASSERT_EQ(w.Open("\\\\.\\MAILSLOT\\Qntfmgr"), 0);
    reader.Kill(9);
    reader.Wait();
    EXPECT_NE(w.Write("10"), 0) << "the reader has gone";
    MailslotReader next;
    EXPECT_EQ(next.Create("\\\\.\\MAILSLOT\\Qntfmgr"), 0) << "a crash must not block the restart";
}

TEST(Mailslot, OversizedMessageIsDroppedNotOverrun) {
    TempRoot root;
    MailslotReader reader;
    ASSERT_EQ(reader.Create("\\\\.\\MAILSLOT\\Big"), 0);
    MailslotWriter w;
    ASSERT_EQ(w.Open("\\\\.\\MAILSLOT\\Big"), 0);
    std::string big(1025, 'x');
    ASSERT_EQ(w.Write(big), 0);
    ASSERT_EQ(w.Write(std::string(1024, 'y')), 0);
    ASSERT_EQ(w.Write("9"), 0);
    char buf[1024 + 8];
    std::fill(std::begin(buf), std::end(buf), '#');
    size_t n = 0;
    EXPECT_EQ(reader.Receive(std::span<char>(buf, 1024), &n, 1000), kErrInsufficientBuffer);
    EXPECT_EQ(buf[1024], '#');
    EXPECT_EQ(reader.Receive(std::span<char>(buf, 1024), &n, 1000), 0);
    EXPECT_EQ(n, 1024u) << "exactly 1024 bytes fits";
    EXPECT_EQ(ReceiveText(reader), "9");
}

TEST(Mailslot, RootsDoNotShareSlots) {
    MailslotReader a;
    {
        TempRoot one;
        ASSERT_EQ(a.Create("\\\\.\\MAILSLOT\\Qntfmgr"), 0);
    }
    TempRoot two;
    MailslotWriter w;
    EXPECT_EQ(w.Open("\\\\.\\MAILSLOT\\Qntfmgr"), kErrFileNotFound);
}

}  // namespace qm::platform
