// The log reader over a notification database: the sizing handshake, reading a log recorded
// through the monitor's record functions line for line, and nested readings on one thread.
#include <gtest/gtest.h>
#include <pthread.h>

#include <string>
#include <vector>

#include "QMNTC.h"
#include "QNTFDB.h"
#include "qm/testing/testing.h"

namespace {

class LogReaderTest : public ::testing::Test {
protected:
    qm::testing::TempRoot root;
    const char* device[7] = {"10", "10.9.8.7", "", "001122334455", "1", "0", "lobby"};
    void SetUp() override {
        ASSERT_EQ(NTCInitialize(), 0);
        ASSERT_EQ(DBSetHandleDevice("DV5", device), 0);
        ASSERT_EQ(DBSetHandleDevice("PR6", device), 0);
        ASSERT_EQ(DBSetLogData(device, "2026/03/01\n08:00:00\n1\n4\n3\n13\n2\n5\n8\njam\n0", 0), 0);
        ASSERT_EQ(DBSetLogData(device, "2026/03/02\n09:30:00\n2\n4\n3\n13\n2\n5\n8\nopen\n0", 0), 0);
        ASSERT_EQ(DBSetPrtCntData(device, "2026/03/02\n10:00:00\n1\n500", 0), 0);
    }
    void TearDown() override { EXPECT_EQ(NTCRelease(), 0); }

    std::vector<char> Start(const char* handle) {
        int size = 0;
        const unsigned long me = pthread_self();
        EXPECT_EQ(NTCStartReadLog(me, handle, nullptr, nullptr, reinterpret_cast<void*>(-1), &size), -3);
        std::vector<char> buffer(static_cast<size_t>(size));
        EXPECT_EQ(NTCStartReadLog(me, handle, nullptr, nullptr, buffer.data(), &size), 0);
        return buffer;
    }
    std::vector<std::string> ReadAll(std::vector<char>& reader) {
        std::vector<std::string> lines;
        for (;;) {
            char line[1024];
            int length = sizeof line;
            int r = NTCReadLog(pthread_self(), reader.data(), line, &length);
            if (r == 100) break;
            EXPECT_EQ(r, 0);
            if (r != 0) break;
            lines.emplace_back(line, static_cast<size_t>(length) - 1);
        }
        return lines;
    }
};

TEST_F(LogReaderTest, ALogRecordedByTheMonitorReadsBackLineForLine) {
    auto reader = Start("DV5");
    ASSERT_EQ(reader.size(), 257u);
    EXPECT_EQ(ReadAll(reader), (std::vector<std::string>{"2026/03/01,08:00:00,1,4,13,2,5,3,8,jam,0",
                                                         "2026/03/02,09:30:00,2,4,13,2,5,3,8,open,0"}));
    EXPECT_EQ(NTCEndReadLog(pthread_self(), reader.data()), 0);
}

TEST_F(LogReaderTest, ReadingsNestOnOneThreadAndUnknownHandlesAreRefused) {
    ASSERT_EQ(NTCInitialize(), 0);  // counted: the database stays until the last release
    auto outer = Start("DV5");
    auto inner = Start("PR6");
    EXPECT_EQ(ReadAll(inner), std::vector<std::string>{"2026/03/02,10:00:00,1,500"});
    EXPECT_EQ(NTCEndReadLog(pthread_self(), inner.data()), 0);
    EXPECT_EQ(ReadAll(outer).size(), 2u) << "ending the inner reading keeps the outer one";
    EXPECT_EQ(NTCEndReadLog(pthread_self(), outer.data()), 0);
    EXPECT_EQ(NTCRelease(), 0);

    std::vector<char> buffer(257);
    int size = 257;
    EXPECT_EQ(NTCStartReadLog(pthread_self(), "DV404", nullptr, nullptr, buffer.data(), &size), -31);
    EXPECT_EQ(NTCStartReadLog(pthread_self(), "", nullptr, nullptr, buffer.data(), &size), -1);
    EXPECT_EQ(NTCEndReadLog(pthread_self(), buffer.data()), -1) << "nothing open";
}

}  // namespace
