#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "qm/platform/errors.h"
#include "qm/platform/registry.h"
#include "qm/testing/testing.h"

namespace qm::platform {

using testing::Child;
using testing::TempRoot;

constexpr const char* kHttpd = "SOFTWARE\\OvrelNet\\OvrelNetQuinsward\\Httpd";

TEST(Registry, ValuesByCaseInsensitiveNames) {
    TempRoot root;
    RegValue v;
    EXPECT_EQ(RegGetValue(RegRoot::LocalMachine, kHttpd, "Port", &v), kErrFileNotFound);
    EXPECT_EQ(RegSetNumber(RegRoot::LocalMachine, kHttpd, "Port", 80), kErrFileNotFound)
        << "a value needs an existing key";
    ASSERT_EQ(RegCreateKey(RegRoot::LocalMachine, kHttpd), 0);
    ASSERT_EQ(RegSetNumber(RegRoot::LocalMachine, kHttpd, "Port", 8080), 0);
    ASSERT_EQ(RegSetString(RegRoot::LocalMachine, "Software\\OVRELNET\\OvrelNetQuinsward\\httpd",
                           "ServerRoot", "C:\\www \"quoted\"\nline"),
              0);
    ASSERT_EQ(RegGetValue(RegRoot::LocalMachine, "software\\ovrelnet\\ovrelnetquinsward\\HTTPD",
                          "port", &v),
              0);
    EXPECT_EQ(v.type, kRegDword);
    EXPECT_EQ(v.number, 8080u);
    EXPECT_EQ(v.name, "Port") << "the first spelling is kept";
    ASSERT_EQ(RegGetValue(RegRoot::LocalMachine, kHttpd, "SERVERROOT", &v), 0);
    EXPECT_EQ(v.type, kRegSz);
    EXPECT_EQ(v.text, "C:\\www \"quoted\"\nline");
    EXPECT_EQ(RegReadText(RegRoot::LocalMachine, kHttpd, "Port"), "8080");
    EXPECT_EQ(RegReadText(RegRoot::LocalMachine, kHttpd, "Missing", "7000"), "7000");
    EXPECT_EQ(RegGetValue(RegRoot::CurrentUser, kHttpd, "Port", &v), kErrFileNotFound)
        << "roots are separate";
}

TEST(Registry, KeysListAndDeleteWithTheirSubtree) {
    TempRoot root;
    const std::string base = "SOFTWARE\\OvrelNet\\OvrelNetQuinsward\\Notification_Service";
    ASSERT_EQ(RegSetString(RegRoot::LocalMachine, base + "\\QMONMGR", "CompactInterval", "60",
                           true),
              0);
    ASSERT_EQ(RegSetNumber(RegRoot::LocalMachine, base + "\\QNTFMGR", "UdpPort", 7000, true), 0);
    EXPECT_EQ(RegOpenKey(RegRoot::LocalMachine, "SOFTWARE\\OvrelNet"), 0) << "parents exist";
    std::vector<std::string> keys;
    ASSERT_EQ(RegListSubkeys(RegRoot::LocalMachine, base, &keys), 0);
    EXPECT_EQ(keys, (std::vector<std::string>{"QMONMGR", "QNTFMGR"}));
    std::vector<RegValue> values;
    ASSERT_EQ(RegListValues(RegRoot::LocalMachine, base + "\\qntfmgr", &values), 0);
    ASSERT_EQ(values.size(), 1u);
    EXPECT_EQ(values[0].name, "UdpPort");
    EXPECT_EQ(RegDeleteValue(RegRoot::LocalMachine, base + "\\QNTFMGR", "udpport"), 0);
    EXPECT_EQ(RegDeleteValue(RegRoot::LocalMachine, base + "\\QNTFMGR", "udpport"),
              kErrFileNotFound);
    ASSERT_EQ(RegDeleteKey(RegRoot::LocalMachine, base), 0);
    EXPECT_EQ(RegOpenKey(RegRoot::LocalMachine, base + "\\QMONMGR"), kErrFileNotFound);
    EXPECT_EQ(RegOpenKey(RegRoot::LocalMachine, "SOFTWARE\\OvrelNet\\OvrelNetQuinsward"), 0);
    EXPECT_EQ(RegCreateKey(RegRoot::LocalMachine, "bad]name"), kErrInvalidParameter);
}

TEST(Registry, DamagedLinesAreSkippedNotFatal) {
    TempRoot root;
    std::ofstream(RegistryFilePath()) << "garbage line\n[HKEY_LOCAL_MACHINE\\A]\n\"x\"=dword:zz\n"
                                         "\"y\"=\"ok\"\n\"unterminated=\"\n[broken\n";
    RegValue v;
    EXPECT_EQ(RegGetValue(RegRoot::LocalMachine, "A", "x", &v), kErrFileNotFound);
    ASSERT_EQ(RegGetValue(RegRoot::LocalMachine, "A", "y", &v), 0);
    EXPECT_EQ(v.text, "ok");
}

// Several processes write at once: every value must arrive and the file must stay whole.
TEST(Registry, ConcurrentWritersLoseNothing) {
    TempRoot root;
    constexpr int kProcs = 5, kValues = 30;
    std::vector<std::unique_ptr<Child>> kids;
    for (int p = 0; p < kProcs; ++p) {
        kids.push_back(std::make_unique<Child>([p] {
            for (int i = 0; i < kValues; ++i) {
                std::string key = "SOFTWARE\\Test\\P" + std::to_string(p);
                if (RegSetNumber(RegRoot::LocalMachine, key, "V" + std::to_string(i),
                                 static_cast<uint32_t>(p * 1000 + i), true) != 0) {
                    return 1;
                }
            }
            return 0;
        }));
    }
    for (auto& k : kids) ASSERT_EQ(k->Wait(std::chrono::seconds(60)), 0);
    for (int p = 0; p < kProcs; ++p) {
        std::vector<RegValue> values;
        ASSERT_EQ(RegListValues(RegRoot::LocalMachine, "SOFTWARE\\Test\\P" + std::to_string(p),
                                &values),
                  0);
        ASSERT_EQ(values.size(), static_cast<size_t>(kValues));
        for (const auto& v : values) {
            EXPECT_EQ(v.number, static_cast<uint32_t>(p * 1000 + std::stoi(v.name.substr(1))));
        }
    }
}

TEST(Registry, WriterKilledMidWayLeavesAReadableFile) {
    TempRoot root;
    ASSERT_EQ(RegSetString(RegRoot::LocalMachine, "SOFTWARE\\Keep", "k", "v", true), 0);
    for (int round = 0; round < 5; ++round) {
        Child writer([] {
            for (int i = 0;; ++i) {
                RegSetNumber(RegRoot::LocalMachine, "SOFTWARE\\Churn", "n" + std::to_string(i % 50),
                             static_cast<uint32_t>(i), true);
            }
            return 0;
        });
        usleep(20000 + round * 7000);
        writer.Kill(9);
        writer.Wait();
        RegValue v;
        ASSERT_EQ(RegGetValue(RegRoot::LocalMachine, "SOFTWARE\\Keep", "k", &v), 0);
        EXPECT_EQ(v.text, "v");
        // And the next writer is not blocked by the dead one's lock.
        ASSERT_EQ(RegSetNumber(RegRoot::LocalMachine, "SOFTWARE\\Keep", "round",
                               static_cast<uint32_t>(round)),
                  0);
    }
}

}  // namespace qm::platform
