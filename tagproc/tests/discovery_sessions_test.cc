// Discovery sessions a host leaves open: the request-end hook ends those of the calling
// thread only, and a session left idle past its budget and margin is ended by the next
// discovery call. Calls of different threads (requests) keep their results and last codes
// apart. The library is loaded as a host loads it.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "qm/testing/testing.h"
#include "qmintpr/tag_library.h"

namespace qm::tag::test {
namespace {

class Sessions : public ::testing::Test {
protected:
    void SetUp() override {
        // Abandoned sessions count as such after one idle second (list sessions have no budget).
        setenv("QM_DISCOVERY_IDLE_MARGIN_S", "1", 1);
        saved_ = std::filesystem::current_path();
        std::filesystem::current_path(root_.path() + "/bin");
        lib_ = dlopen((qm::testing::BuildBinFolder() + "/libQMTAG.so").c_str(), RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(lib_, nullptr) << dlerror();
        auto init = reinterpret_cast<QmTagInitializeFn>(dlsym(lib_, "TAGInitialize"));
        ASSERT_NE(init, nullptr);
        processor_ = init(nullptr, nullptr, nullptr, 0);
        ASSERT_GT(processor_, 0);
    }
    void TearDown() override {
        if (lib_) {
            if (auto release = reinterpret_cast<QmTagReleaseFn>(dlsym(lib_, "TAGRelease"))) release(processor_);
            dlclose(lib_);
        }
        std::filesystem::current_path(saved_);
        unsetenv("QM_DISCOVERY_IDLE_MARGIN_S");
    }
    QmTagFunction Fn(const char* name) { return reinterpret_cast<QmTagFunction>(dlsym(lib_, name)); }

    // A listing of all registered devices (no network); its handle, or -1.
    int32_t StartListing() {
        std::vector<const char*> a = {"1", "", "0", "", "1", "1", "1", "", "", ""};
        void* argv[QM_TAG_MAX_ARGV] = {};
        const unsigned char* result = nullptr;
        argv[0] = &processor_;
        argv[1] = &result;
        for (size_t i = 0; i < a.size(); ++i) argv[i + 2] = const_cast<char*>(a[i]);
        if (Fn("TAGStartDeviceDiscovery")(static_cast<int32_t>(a.size() + 2), argv) != 0 || !result) return -1;
        // INTEGER: 0x02, length, big-endian bytes.
        int32_t v = 0;
        for (int i = 0; i < result[1]; ++i) v = v * 256 + result[2 + i];
        return v;
    }
    int32_t OnSession(const char* fn, int32_t session) {
        void* argv[QM_TAG_MAX_ARGV] = {};
        const unsigned char* result = nullptr;
        argv[0] = &processor_;
        argv[1] = &result;
        argv[2] = &session;
        return Fn(fn)(3, argv);
    }
    std::string Trace() {
        std::ifstream in(root_.path() + "/log/qbtrace.log");
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }

    qm::testing::TempRoot root_;
    std::filesystem::path saved_;
    void* lib_ = nullptr;
    int32_t processor_ = 0;
};

TEST_F(Sessions, RequestEndEndsTheCallingThreadsSessionsOnly) {
    auto endRequest = reinterpret_cast<QmTagEndRequestFn>(dlsym(lib_, QM_TAG_END_REQUEST_NAME));
    ASSERT_NE(endRequest, nullptr);
    const int32_t mine = StartListing();
    ASSERT_GT(mine, 0);
    int32_t theirs = -1;
    std::thread other([&] {
        theirs = StartListing();
        endRequest(processor_);  // that request is over
    });
    other.join();
    ASSERT_GT(theirs, 0);
    EXPECT_EQ(OnSession("TAGGetDiscoveryResult", theirs), -2) << "ended with its request";
    EXPECT_EQ(OnSession("TAGGetDiscoveryResult", mine), -4) << "still open: an empty list";
    EXPECT_EQ(OnSession("TAGEndDeviceDiscovery", mine), 0);
    EXPECT_EQ(endRequest(processor_ + 1000), -2);
}

TEST_F(Sessions, AbandonedSessionEndsAtALaterDiscoveryCall) {
    const int32_t left = StartListing();
    ASSERT_GT(left, 0);
    const auto started = std::chrono::steady_clock::now();
    // Within its margin another page's discovery leaves it alone.
    const int32_t early = StartListing();
    EXPECT_EQ(OnSession("TAGEndDeviceDiscovery", early), 0);
    if (std::chrono::steady_clock::now() - started < std::chrono::milliseconds(900)) {
        EXPECT_EQ(OnSession("TAGGetDiscoveryResult", left), -4) << "ended before its margin";
    }
    // Idle past its margin (the idleness is the condition under test, not a hand-off)...
    const int32_t kept = StartListing();
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    // ...both are ended by the next discovery call of any session.
    const int32_t later = StartListing();
    ASSERT_GT(later, 0);
    EXPECT_EQ(OnSession("TAGGetDiscoveryResult", left), -2);
    EXPECT_EQ(OnSession("TAGGetDiscoveryResult", kept), -2);
    EXPECT_EQ(OnSession("TAGEndDeviceDiscovery", later), 0);
}

// The code and result of one thread's call are that thread's, whatever other threads call
// in between; a thread's request end forgets its own state only.
TEST_F(Sessions, ThreadsKeepTheirOwnResultsAndLastCodes) {
    auto call = [&](const char* fn, std::vector<const char*> args, const unsigned char** result) {
        void* argv[QM_TAG_MAX_ARGV] = {};
        argv[0] = &processor_;
        argv[1] = result;
        for (size_t i = 0; i < args.size(); ++i) argv[i + 2] = const_cast<char*>(args[i]);
        return Fn(fn)(static_cast<int32_t>(args.size() + 2), argv);
    };
    // TAGGetLastError's result: an INTEGER of one byte for these small codes.
    auto lastCode = [&]() -> int {
        const unsigned char* r = nullptr;
        if (call("TAGGetLastError", {}, &r) != 0 || !r || r[0] != 0x02 || r[1] != 1) return 999;
        return static_cast<int8_t>(r[2]);
    };
    const unsigned char* mine = nullptr;
    ASSERT_EQ(call("TAGGetMIBData", {"no key", "1.3.6.1.2.1.1.5.0"}, &mine), -3);
    ASSERT_NE(mine, nullptr);
    const std::vector<unsigned char> mineBefore(mine, mine + 2);
    int theirCode = 999;
    std::thread other([&] {
        const int32_t s = StartListing();  // a success, with a result of its own
        theirCode = lastCode();
        if (s > 0) OnSession("TAGEndDeviceDiscovery", s);
        reinterpret_cast<QmTagEndRequestFn>(dlsym(lib_, QM_TAG_END_REQUEST_NAME))(processor_);
    });
    other.join();
    EXPECT_EQ(theirCode, 0);
    EXPECT_EQ(std::vector<unsigned char>(mine, mine + 2), mineBefore) << "another thread's call replaced this result";
    EXPECT_EQ(lastCode(), -3) << "another thread's call replaced this thread's last code";
    // Asking does not replace it.
    EXPECT_EQ(lastCode(), -3);
}

}  // namespace
}  // namespace qm::tag::test
