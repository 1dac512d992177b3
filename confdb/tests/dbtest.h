// A fresh installation root per test with bin/ as the current folder, as the services run.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "QBUtil.h"
#include "qm/testing/testing.h"
#include "qmdbmgr.h"

namespace dbtest {

class DbTest : public ::testing::Test {
protected:
    void SetUp() override {
        char buf[4096];
        previous_ = getcwd(buf, sizeof buf) ? buf : "/";
        ASSERT_EQ(chdir((root_ / "bin").c_str()), 0);
        QbSetTraceLevel(0xFFFFFFFFu);
        ASSERT_EQ(DBMgrInitialize(), 0);
    }
    void TearDown() override {
        DBMgrRelease();
        ASSERT_EQ(chdir(previous_.c_str()), 0);
    }
    std::string Conf(const std::string& file) const { return root_ / ("conf/" + file); }
    bool Exists(const std::string& file) const { return access(Conf(file).c_str(), F_OK) == 0; }
    // The trace written so far. The trace library keeps its file open for the life of the
    // process (in the first test's root), so the file is found through our open descriptors.
    std::string Trace() const {
        for (const auto& e : std::filesystem::directory_iterator("/proc/self/fd")) {
            std::error_code ec;
            auto target = std::filesystem::read_symlink(e.path(), ec).string();
            if (ec || target.find("qbtrace.log") == std::string::npos) continue;
            std::ifstream in(e.path());
            std::stringstream ss;
            ss << in.rdbuf();
            return ss.str();
        }
        return {};
    }
    const qm::testing::TempRoot& root() const { return root_; }

private:
    qm::testing::TempRoot root_;
    std::string previous_;
};

// Caller buffers for the two-call list functions.
struct Names {
    std::vector<std::vector<char>> storage;
    std::vector<char*> pointers;
    explicit Names(int n) : storage(n, std::vector<char>(65, 'x')) {
        for (auto& s : storage) pointers.push_back(s.data());
    }
    char** data() { return pointers.data(); }
    std::vector<std::string> strings() const {
        std::vector<std::string> out;
        for (const auto& s : storage) out.emplace_back(s.data());
        return out;
    }
};

inline std::string ReadQM(const char* item) {
    char data[256] = "junk";
    EXPECT_EQ(DBReadQMInfo(item, data), 0) << item;
    return data;
}

inline std::string ReadDevice(const char* key, const char* item) {
    char data[65] = "junk";
    EXPECT_EQ(DBReadDeviceInfo(key, item, data), 0);
    return data;
}

inline std::string ReadGroup(const char* group, const char* item) {
    std::vector<char> data(5120, 'x');
    EXPECT_EQ(DBReadGroupInfo(group, item, data.data()), 0);
    return data.data();
}

inline std::vector<std::string> GroupNames() {
    int n = 0;
    EXPECT_EQ(DBReadGroupNameList(&n, nullptr), 0);
    Names names(n);
    EXPECT_EQ(DBReadGroupNameList(&n, names.data()), 0);
    return names.strings();
}

inline std::vector<std::string> Members(DBHANDLE h) {
    std::vector<std::string> keys;
    for (;;) {
        char* key = nullptr;
        int length = -1;
        EXPECT_EQ(DBReadDeviceKeyInGroup(h, &key, &length), 0);
        if (length == 0) break;
        keys.emplace_back(key, length);
    }
    return keys;
}

inline std::vector<std::string> MembersOf(const char* group) {
    DBHANDLE h = DBOpenDeviceKeyInGroup(group);
    EXPECT_NE(h, DB_NO_HANDLE);
    auto keys = Members(h);
    DBCloseDeviceKeyInGroup(h);
    return keys;
}

}  // namespace dbtest
