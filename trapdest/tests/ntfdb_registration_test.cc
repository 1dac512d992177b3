// End to end: watches recorded in the notification database make it start qntpset, which
// enters this computer into the printer's trap destination slot; the last watch removed takes
// it out again. Real processes throughout: the database library, the helper program, and a
// simulated printer.
#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <filesystem>
#include <string>

#include "QNTFDB.h"
#include "qm/platform/named_objects.h"
#include "qm/platform/registry.h"
#include "qm/testing/testing.h"
#include "trap_printer.h"

namespace qm::trapdest::test {
namespace {

using qm::testing::Eventually;

constexpr const char* kSelf = "192.0.2.77";

// The seven texts a database caller passes for a device.
struct Device {
    std::array<std::string, 7> text;
    std::array<const char*, 7> ptr{};
    explicit Device(const std::string& ip) {
        text = {"10", ip, "", "001122334455", "1", "0", ""};
        for (int i = 0; i < 7; ++i) ptr[i] = text[i].c_str();
    }
    const char* const* get() const { return ptr.data(); }
};

TEST(QntrapThroughNtfdb, FirstWatchRegistersAndLastRemovalClears) {
    if (!testsupport::HaveProgram("snmpget")) GTEST_SKIP() << "net-snmp's snmpget is not installed";
    qm::testing::TempRoot root;
    TrapPrinter printer({"10.20.30.40", "0.0.0.0", 1, 0}, 95);
    if (!printer.ok()) GTEST_SKIP() << printer.why();
    ConfigureRoot(printer.port(), kSelf);
    std::filesystem::create_symlink(qm::testing::BuildBinFolder() + "/qntpset", root / "bin/qntpset");
    platform::RegSetNumber(platform::RegRoot::LocalMachine, "SOFTWARE\\OvrelNet\\OvrelNetQuinsward\\Setup",
                           "QntpsetIdleTime", 2, true);
    ASSERT_EQ(DBInitialize(root.path().c_str()), 0);

    const Device device(printer.address());
    Slots now;
    // The library makes the helper's requests on a thread of its own, after the export.
    auto slotsBecome = [&](const Slots& want) {
        return Eventually([&] { return printer.Read(&now) && now == want; }, std::chrono::seconds(60));
    };
    ASSERT_EQ(DBSetHandleDevice("DV0001", device.get()), 0);
    EXPECT_TRUE(slotsBecome(Slots{"10.20.30.40", kSelf, 1, 1})) << "the first watch registers";

    ASSERT_EQ(DBSetHandleDevice("DV0002", device.get()), 0);
    ASSERT_EQ(DBDeleteDevice("DV0001", device.get()), 0);
    ASSERT_TRUE(printer.Read(&now));
    EXPECT_EQ(now, (Slots{"10.20.30.40", kSelf, 1, 1})) << "one watch is left";

    ASSERT_EQ(DBDeleteDevice("DV0002", device.get()), 0);
    EXPECT_TRUE(slotsBecome(Slots{"10.20.30.40", "0.0.0.0", 1, 0})) << "the last watch removed clears the slot";

    EXPECT_EQ(DBRelease(), 0);
    // The helper ends by itself once idle; the root must outlive it.
    EXPECT_TRUE(Eventually(
        [] {
            platform::NamedMutex m;
            return m.Open("QntpsetMutex") != 0;
        },
        std::chrono::seconds(30)));
}

}  // namespace
}  // namespace qm::trapdest::test
