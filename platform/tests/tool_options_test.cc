#include "qm/platform/tool_options.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "qm/testing/testing.h"

namespace {

using qm::platform::ToolOptions;

// Parses a command line given as words; stderr and stdout are captured.
struct Call {
    std::optional<int> exit;
    std::string out, err;
};

Call Parse(ToolOptions& o, std::vector<std::string> words) {
    words.insert(words.begin(), "qmtool");
    std::vector<char*> argv;
    for (auto& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    Call c;
    c.exit = o.Parse(static_cast<int>(words.size()), argv.data());
    c.out = ::testing::internal::GetCapturedStdout();
    c.err = ::testing::internal::GetCapturedStderr();
    return c;
}

class Options : public ::testing::Test {
protected:
    Options() : o("qmtool", "usage: qmtool [--root DIR] [-v] [--port N] ARGS\n") {
        o.Flag("verbose", &verbose, 'v');
        o.Value("port", [this](const char* v) {
            char* end;
            long n = std::strtol(v, &end, 10);
            if (*end || n < 1 || n > 65535) return false;
            port = static_cast<int>(n);
            return true;
        }, 'p');
    }
    qm::testing::TempRoot keepsQmRoot;  // --root changes $QM_ROOT; this restores it
    ToolOptions o;
    bool verbose = false;
    int port = 0;
};

TEST_F(Options, OptionsThenOperands) {
    Call c = Parse(o, {"-v", "--port", "161", "get", "-5", "--port"});
    EXPECT_FALSE(c.exit);
    EXPECT_TRUE(verbose);
    EXPECT_EQ(port, 161);
    EXPECT_EQ(o.operands(), (std::vector<std::string>{"get", "-5", "--port"}));
    c = Parse(o, {"--port=162", "-p", "163", "--", "-v"});
    EXPECT_FALSE(c.exit);
    EXPECT_EQ(port, 163);
    EXPECT_EQ(o.operands(), (std::vector<std::string>{"-v"}));
}

TEST_F(Options, OptionsAnywhereWhenAsked) {
    o.OptionsAnywhere();
    Call c = Parse(o, {"a", "-v", "b", "--port", "7", "--", "--port"});
    EXPECT_FALSE(c.exit);
    EXPECT_TRUE(verbose);
    EXPECT_EQ(port, 7);
    EXPECT_EQ(o.operands(), (std::vector<std::string>{"a", "b", "--port"}));
}

TEST_F(Options, HelpGoesToStandardOutput) {
    Call c = Parse(o, {"--help", "--bogus"});
    ASSERT_TRUE(c.exit);
    EXPECT_EQ(*c.exit, 0);
    EXPECT_EQ(c.out, "usage: qmtool [--root DIR] [-v] [--port N] ARGS\n");
    EXPECT_EQ(*Parse(o, {"-h"}).exit, 0);
}

TEST_F(Options, RootSetsTheInstallation) {
    Call c = Parse(o, {"--root", "/opt/qm", "x"});
    EXPECT_FALSE(c.exit);
    EXPECT_EQ(o.root(), "/opt/qm");
    EXPECT_STREQ(std::getenv("QM_ROOT"), "/opt/qm");
}

TEST_F(Options, WrongCallsSayWhatAndExitTwo) {
    struct Case {
        std::vector<std::string> words;
        std::string err;
    } cases[] = {
        {{"--bogus"}, "qmtool: unknown option --bogus (see --help)\n"},
        {{"-x"}, "qmtool: unknown option -x (see --help)\n"},
        {{"--port"}, "qmtool: option --port needs a value (see --help)\n"},
        {{"-p"}, "qmtool: option -p needs a value (see --help)\n"},
        {{"--port", "0"}, "qmtool: bad value for --port: 0 (see --help)\n"},
        {{"--root", ""}, "qmtool: bad value for --root:  (see --help)\n"},
        {{"--verbose=1"}, "qmtool: option --verbose takes no value (see --help)\n"},
    };
    for (const Case& k : cases) {
        Call c = Parse(o, k.words);
        ASSERT_TRUE(c.exit) << k.words[0];
        EXPECT_EQ(*c.exit, 2);
        EXPECT_EQ(c.err, k.err);
        EXPECT_EQ(c.out, "");
    }
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(o.Usage("missing HOST"), 2);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "qmtool: missing HOST (see --help)\n");
}

}  // namespace
