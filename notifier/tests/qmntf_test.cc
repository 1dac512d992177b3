// The registration tool's watch commands, run as a program in a temporary installation root:
// what `watch` leaves in the notification database and in the device records of the
// configuration database, and which watches `keepalive` keeps through a `sweep`.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "QNTFDB.h"
#include "qm/testing/testing.h"
#include "qmdbmgr.h"

namespace {

constexpr char kKnown[] = "10;127.0.0.41;;0050C2A10041;1";    // in the configuration database
constexpr char kUnknown[] = "10;127.0.0.42;;0050C2A10042;1";  // only watched

struct Result {
    int status = -1;
    std::string out, err;
};

// Polling counts of a watched device: "DV"/"GR", "PR" and "CS" handles.
struct Counts {
    int32_t dv = 0, pr = 0, cs = 0;
    bool operator==(const Counts&) const = default;
};
std::ostream& operator<<(std::ostream& o, const Counts& c) {
    return o << "DV " << c.dv << ", PR " << c.pr << ", CS " << c.cs;
}

class QmntfWatch : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(DBInitialize(root_.path().c_str()), 0);
        // The pages know one printer.
        InConfDb([] { EXPECT_EQ(DBWriteDeviceInfo(kKnown, "DEV_Description", "second floor"), 0); });
    }
    void TearDown() override { DBRelease(); }

    // The configuration database works from bin/ ("..\conf\"), as every program of the suite.
    template <typename F>
    void InConfDb(F body) {
        char here[4096];
        ASSERT_NE(getcwd(here, sizeof here), nullptr);
        ASSERT_EQ(chdir((root_ / "bin").c_str()), 0);
        ASSERT_EQ(DBMgrInitialize(), 0);
        body();
        DBMgrRelease();
        ASSERT_EQ(chdir(here), 0);
    }
    std::string DeviceItem(const char* key, const char* item) {
        char data[512] = {};
        InConfDb([&] { DBReadDeviceInfo(key, item, data); });
        return data;
    }

    // qmntf from the build, called from the test's own folder (not bin/).
    Result Qmntf(const std::vector<std::string>& args) {
        const std::string err = root_ / "log/qmntf.err";
        std::string cmd = qm::testing::BuildBinFolder() + "/qmntf";
        for (const auto& a : args) cmd += " '" + a + "'";
        cmd += " 2>'" + err + "'";
        Result r;
        FILE* p = popen(cmd.c_str(), "r");
        if (!p) return r;
        char buf[4096];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, n);
        const int rc = pclose(p);
        r.status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
        std::ifstream in(err);
        std::stringstream s;
        s << in.rdbuf();
        r.err = s.str();
        return r;
    }
    static std::vector<std::string> Lines(const std::string& text) {
        std::vector<std::string> out;
        std::istringstream in(text);
        for (std::string line; std::getline(in, line);) out.push_back(line);
        return out;
    }

    // Every device with a running watch, by its IP address, read through the database.
    std::map<std::string, Counts> Watched() {
        std::map<std::string, Counts> out;
        unsigned char rec[NTFDB_POLLING_RECORD_SIZE] = {};
        int rc;
        while ((rc = DBReadLogPolling(rec)) == 0) {
            Counts c;
            std::memcpy(&c.dv, rec + 96, 4);
            std::memcpy(&c.pr, rec + 100, 4);
            std::memcpy(&c.cs, rec + 104, 4);
            out[std::string(reinterpret_cast<char*>(rec + 28))] = c;
        }
        EXPECT_EQ(rc, NTFDB_NO_RECORD);
        return out;
    }

    qm::testing::TempRoot root_;
};

TEST_F(QmntfWatch, WatchMakesThreeHandlesAndWritesThemIntoKnownDevicesOnly) {
    Result r = Qmntf({"watch", kKnown, kUnknown});
    ASSERT_EQ(r.status, 0) << r.err;
    const auto handles = Lines(r.out);
    ASSERT_EQ(handles.size(), 3u) << r.out;
    EXPECT_EQ(handles[0].substr(0, 2), "DV");
    EXPECT_EQ(handles[1].substr(0, 2), "PR");
    EXPECT_EQ(handles[2].substr(0, 2), "CS");
    for (const auto& h : handles) {
        EXPECT_EQ(h.size(), 7u) << "fits the command block with its command";
        EXPECT_EQ(h.substr(2), handles[0].substr(2)) << "one number for the three kinds";
    }
    const Counts one{1, 1, 1};
    EXPECT_EQ(Watched(), (std::map<std::string, Counts>{{"127.0.0.41", one}, {"127.0.0.42", one}}));

    // The device log pages of the known printer find its logs; the other printer is reported
    // and not added to the configuration database behind the administrator's back.
    EXPECT_EQ(DeviceItem(kKnown, "DEV_ErrorLogHandle"), handles[0]);
    EXPECT_EQ(DeviceItem(kKnown, "DEV_PrintLogHandle"), handles[1]);
    EXPECT_EQ(DeviceItem(kKnown, "DEV_ConsLogHandle"), handles[2]);
    EXPECT_EQ(DeviceItem(kKnown, "DEV_Description"), "second floor");
    EXPECT_EQ(DeviceItem(kUnknown, "DEV_DeviceKey"), "");
    EXPECT_NE(r.err.find(std::string(kUnknown) + " is not in the configuration database"), std::string::npos)
        << r.err;

    // A second watch of the same printer counts once more and takes over its log handles.
    Result again = Qmntf({"watch", kKnown});
    ASSERT_EQ(again.status, 0) << again.err;
    EXPECT_NE(Lines(again.out)[0], handles[0]);
    EXPECT_EQ(Watched()["127.0.0.41"], (Counts{2, 2, 2}));
    EXPECT_EQ(DeviceItem(kKnown, "DEV_ErrorLogHandle"), Lines(again.out)[0]);
}

TEST_F(QmntfWatch, SweepEndsTheWatchesNotKeptAlive) {
    Result first = Qmntf({"watch", kKnown});
    Result second = Qmntf({"watch", kKnown, kUnknown});
    ASSERT_EQ(first.status, 0) << first.err;
    ASSERT_EQ(second.status, 0) << second.err;
    const auto kept = Lines(first.out), dropped = Lines(second.out);
    ASSERT_EQ(kept.size(), 3u);
    ASSERT_EQ(dropped.size(), 3u);

    // Only the first watch is kept alive: the sweep ends the second, on both printers.
    Result alive = Qmntf({"keepalive", kept[0], kept[1], kept[2]});
    EXPECT_EQ(alive.status, 0) << alive.err;
    EXPECT_EQ(Qmntf({"sweep"}).status, 0);
    EXPECT_EQ(Watched(), (std::map<std::string, Counts>{{"127.0.0.41", Counts{1, 1, 1}}}));
    // An ended watch cannot be kept alive any more; the others named with it still are.
    Result late = Qmntf({"keepalive", dropped[0], kept[0]});
    EXPECT_EQ(late.status, 1);
    EXPECT_NE(late.err.find(dropped[0] + " watches nothing"), std::string::npos) << late.err;

    // Keeping alive lasts one sweep: what is kept again survives the next, the rest ends.
    EXPECT_EQ(Qmntf({"sweep"}).status, 0);
    EXPECT_EQ(Watched(), (std::map<std::string, Counts>{{"127.0.0.41", Counts{1, 0, 0}}}));
    EXPECT_EQ(Qmntf({"sweep"}).status, 0);
    EXPECT_TRUE(Watched().empty());
}

TEST_F(QmntfWatch, WrongCallsAreRefusedWithoutTouchingTheDatabase) {
    EXPECT_EQ(Qmntf({"watch"}).status, 2);
    Result bad = Qmntf({"watch", "10;127.0.0.41;;0050C2A10041"});
    EXPECT_EQ(bad.status, 2);
    EXPECT_NE(bad.err.find("is not a device key"), std::string::npos) << bad.err;
    EXPECT_EQ(Qmntf({"watch", kKnown, "10;;;;1"}).status, 2) << "a key needs an address";
    EXPECT_EQ(Qmntf({"keepalive"}).status, 2);
    EXPECT_EQ(Qmntf({"sweep", "DV00001"}).status, 2) << "a sweep ends every watch not kept alive, none by name";
    EXPECT_TRUE(Watched().empty());
}

}  // namespace
