#include "qm/platform/export_frame.h"

#include <gtest/gtest.h>

#include <fstream>
#include <new>
#include <sstream>
#include <stdexcept>

#include "qm/testing/testing.h"

namespace {

using qm::platform::ExportFrame;
using qm::platform::ExportTrace;

const ExportTrace kBracket{"QMDBMGR", ExportTrace::kBracket, "QMDBMGR: ", 0x80u, 0x8800u};
const ExportTrace kArrow{"TagProcessor", ExportTrace::kArrow, "", QB_TRACE_INFO, QB_TRACE_ERROR};

// The trace library keeps the file of the first root it wrote into, so the tests share one.
qm::testing::TempRoot* g_root;
std::streamoff g_start;

// The texts of the trace records written since the test began (after "module(line) ").
std::vector<std::string> TraceTexts() {
    std::ifstream in(*g_root / "log/qbtrace.log");
    in.seekg(g_start);
    std::vector<std::string> texts;
    std::string line;
    while (std::getline(in, line)) {
        auto paren = line.find(") ");
        if (paren != std::string::npos) texts.push_back(line.substr(paren + 2));
    }
    return texts;
}

class Frame : public ::testing::Test {
protected:
    static void SetUpTestSuite() { g_root = new qm::testing::TempRoot; }
    static void TearDownTestSuite() { delete g_root; }
    void SetUp() override {
        std::ifstream in(*g_root / "log/qbtrace.log", std::ios::ate);
        g_start = in ? static_cast<std::streamoff>(in.tellg()) : 0;
        QbSetTraceLevel(QB_TRACE_ALL);
    }
    void TearDown() override { QbSetTraceLevel(QB_TRACE_ERROR); }
};

TEST_F(Frame, BracketLinesCarryTheFunctionNameAndDetails) {
    ExportFrame f(kBracket, "DBReadDeviceInfo", -1);
    f.In("lpszDKey=%s, lpszItem=%s", "1;2;;;", "DEV_IPHostName");
    EXPECT_EQ(f.Out(0, "lpszData=%s", "printer"), 0);
    ExportFrame g(kBracket, "DBMgrInitialize", -1);
    g.In();
    EXPECT_EQ(g.Fail("nRet=%d", 4), -1);
    g.Out(0, "Ret=0");
    EXPECT_EQ(TraceTexts(),
              (std::vector<std::string>{"QMDBMGR: DBReadDeviceInfo[IN] lpszDKey=1;2;;;, lpszItem=DEV_IPHostName",
                                        "QMDBMGR: DBReadDeviceInfo[OUT] lpszData=printer",
                                        "QMDBMGR: DBMgrInitialize[IN]",
                                        "QMDBMGR: DBMgrInitialize[ER_OUT] nRet=4",
                                        "QMDBMGR: DBMgrInitialize[OUT] Ret=0"}));
}

TEST_F(Frame, ChecksWriteTheirFailureLine) {
    ExportFrame f(kBracket, "DBWriteChannelInfo", -1);
    const char* key = "0123456789";
    EXPECT_TRUE(f.NotNull(key, "lpszDKey"));
    EXPECT_FALSE(f.NotNull(nullptr, "pChannel"));
    EXPECT_TRUE(f.Fits(key, 11, "lpszDKey"));
    EXPECT_FALSE(f.Fits(key, 10, "lpszDKey"));
    EXPECT_EQ(TraceTexts(),
              (std::vector<std::string>{"QMDBMGR: DBWriteChannelInfo[ER_OUT] pChannel=NULL",
                                        "QMDBMGR: DBWriteChannelInfo[ER_OUT] (SizeError) lpszDKey=0123456789"}));
}

TEST_F(Frame, ArrowLinesNameTheFunctionOnly) {
    ExportFrame f(kArrow, "TAGGetMIBData", -2);
    f.In();
    EXPECT_EQ(f.Out(3), 3);
    EXPECT_EQ(TraceTexts(), (std::vector<std::string>{"IN : TAGGetMIBData", "OUT : TAGGetMIBData"}));
}

TEST_F(Frame, ExceptionsBecomeTheErrorResult) {
    ExportFrame f(kBracket, "DBReadGroupInfo", -1);
    EXPECT_EQ(f.Run([]() -> int { throw std::bad_alloc(); }), -1);
    EXPECT_EQ(f.Run([]() -> int { throw std::runtime_error("boom"); }), -1);
    EXPECT_EQ(f.Run([]() -> int { throw 5; }), -1);
    EXPECT_EQ(f.Run([] { return 7; }), 7);
    auto texts = TraceTexts();
    ASSERT_EQ(texts.size(), 3u);
    EXPECT_EQ(texts[0], "QMDBMGR: DBReadGroupInfo[ER_OUT] nRet=-1 (out of memory)");
    EXPECT_EQ(texts[1], "QMDBMGR: DBReadGroupInfo[ER_OUT] nRet=-1 (boom)");
    ExportFrame a(kArrow, "TAGInitialize", -1);
    EXPECT_EQ(a.Run([]() -> int { throw std::bad_alloc(); }), -1);
    texts = TraceTexts();
    EXPECT_EQ(texts[3], "ER_OUT : TAGInitialize");
}

TEST_F(Frame, NothingIsFormattedBelowTheThreshold) {
    QbSetTraceLevel(QB_TRACE_ERROR);
    ExportFrame f(kBracket, "DBReadQMInfo", -1);
    f.In("Item=%s", "x");
    f.Fail("nRet=%d", 1);
    EXPECT_EQ(TraceTexts(), (std::vector<std::string>{"QMDBMGR: DBReadQMInfo[ER_OUT] nRet=1"}));
}

TEST_F(Frame, LongDetailsAreWrittenWhole) {
    std::string big(3000, 'a');
    ExportFrame f(kBracket, "DBWriteQMInfo", -1);
    f.In("Data=%s", big.c_str());
    auto texts = TraceTexts();
    ASSERT_EQ(texts.size(), 1u);
    EXPECT_EQ(texts[0], "QMDBMGR: DBWriteQMInfo[IN] Data=" + big);
}

}  // namespace
