#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include "QBUtil.h"
#include "qm/platform/registry.h"
#include "qm/testing/testing.h"

namespace {

std::string ReadTrace(const qm::testing::TempRoot& root) {
    std::ifstream in(root / "log/qbtrace.log");
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

TEST(Trace, WritesRecordsAtOrAboveTheThreshold) {
    qm::testing::TempRoot root;
    QbSetTraceLevel(QB_TRACE_ERROR);
    QbTrace(QB_TRACE_INFO, "qmtest", 10, "hidden %d", 1);
    QbTrace(QB_TRACE_ERROR, "qmtest", 11, "QMDBMGR: DBReadQMInfo[ER_OUT] nRet=%d", 101);
    std::string text = ReadTrace(root);
    EXPECT_EQ(text.find("hidden"), std::string::npos);
    EXPECT_NE(text.find(" 8800 qmtest(11) QMDBMGR: DBReadQMInfo[ER_OUT] nRet=101\n"),
              std::string::npos)
        << text;
    QbSetTraceLevel(0);
    QbTrace(QB_TRACE_ERROR, "qmtest", 12, "off");
    EXPECT_EQ(ReadTrace(root).find("off"), std::string::npos);
}

TEST(Trace, DumpShowsBytesInHexAndText) {
    qm::testing::TempRoot root;
    QbSetTraceLevel(QB_TRACE_ALL);
    const unsigned char bytes[] = {0x30, 0x0B, 'A', 'b', 0x00, 0xFF};
    QbDump(QB_TRACE_INFO, "qmtest", 20, bytes, sizeof bytes);
    QbDump(QB_TRACE_INFO, "qmtest", 21, nullptr, 5);
    std::string text = ReadTrace(root);
    EXPECT_NE(text.find("(6 bytes)\n  0000 30 0B 41 62 00 FF"), std::string::npos) << text;
    EXPECT_NE(text.find("0.Ab.."), std::string::npos);
    EXPECT_NE(text.find("qmtest(21) (0 bytes)"), std::string::npos);
    QbSetTraceLevel(QB_TRACE_ERROR);
}

TEST(Trace, RecordsFromManyThreadsStayWhole) {
    qm::testing::TempRoot root;
    QbSetTraceLevel(QB_TRACE_ALL);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < 200; ++i) QbTrace(1, "mt", t, "rec-%d-%d-end", t, i);
        });
    }
    for (auto& th : threads) th.join();
    std::istringstream lines(ReadTrace(root));
    std::string line;
    int count = 0;
    while (std::getline(lines, line)) {
        ASSERT_NE(line.find("rec-"), std::string::npos);
        ASSERT_EQ(line.substr(line.size() - 4), "-end");
        ++count;
    }
    EXPECT_EQ(count, 800);
    QbSetTraceLevel(QB_TRACE_ERROR);
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// Every process appends to the one file through its own descriptor. When one of them moves the
// full file aside, the others must not move the name again: that would put the fresh file over
// the previous one and lose everything in it.
TEST(Trace, RotationByOneProcessKeepsWhatTheOthersWrote) {
    qm::testing::TempRoot root;
    QbSetTraceLevel(QB_TRACE_ALL);
    QbTrace(QB_TRACE_INFO, "qmtest", 1, "parent-first");
    qm::testing::Child other([] {
        const std::string big(4000, 'x');
        for (int i = 0; i < 16 * 1024 * 1024 / 4000 + 16; ++i) QbTrace(QB_TRACE_INFO, "fill", i, "%s", big.c_str());
        QbTrace(QB_TRACE_INFO, "qmtest", 2, "other-after-rotation");
        return 0;
    });
    ASSERT_EQ(other.Wait(std::chrono::seconds(120)), 0);
    // This process still writes through its descriptor of the full file, and then reopens.
    QbTrace(QB_TRACE_INFO, "qmtest", 3, "parent-after");
    QbTrace(QB_TRACE_INFO, "qmtest", 4, "parent-next");
    const std::string previous = ReadFile(root / "log/qbtrace.log.1");
    const std::string current = ReadFile(root / "log/qbtrace.log");
    EXPECT_NE(previous.find("parent-first"), std::string::npos) << "the previous file was lost";
    EXPECT_NE(previous.find("parent-after"), std::string::npos);
    EXPECT_GT(previous.size(), 16u * 1024 * 1024);
    EXPECT_NE(current.find("other-after-rotation"), std::string::npos) << current.substr(0, 400);
    EXPECT_NE(current.find("parent-next"), std::string::npos) << current.substr(0, 400);
    QbSetTraceLevel(QB_TRACE_ERROR);
}

TEST(Trace, UnwritableFolderNeverFailsTheCaller) {
    qm::testing::TempRoot root;
    setenv("QM_ROOT", "/proc/qm-no-such-root", 1);
    QbSetTraceLevel(QB_TRACE_ALL);
    QbTrace(QB_TRACE_ERROR, "qmtest", 1, "%s", "goes nowhere");
    QbSetTraceLevel(QB_TRACE_ERROR);
    SUCCEED();
}

}  // namespace
