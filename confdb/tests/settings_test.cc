// System settings: the file made on first use with its initial records, writes, limits, traces.
#include "dbtest.h"
#include "qm/platform/library.h"
#include "qmisam.h"

using namespace dbtest;

namespace {

class Settings : public DbTest {};

TEST_F(Settings, FirstReadCreatesTheFileWithItsInitialRecords) {
    EXPECT_FALSE(Exists("QMCONFIG.dat"));
    EXPECT_EQ(ReadQM("QMC_MaxLogSize"), "524288");
    EXPECT_TRUE(Exists("QMCONFIG.dat"));
    EXPECT_EQ(ReadQM("QMC_SepaBrowser"), "No");
    EXPECT_EQ(ReadQM("QMC_BroadIPLocal"), "ON");
    EXPECT_EQ(ReadQM("QMC_BroadIPXLocal"), "ON");
    EXPECT_EQ(ReadQM("QMC_LogOtherSave"), "OFF");
    EXPECT_EQ(ReadQM("QMC_LogEffective"), "30");
    EXPECT_EQ(ReadQM("QMC_AllDeviceGroup"), "All Devices");
    EXPECT_EQ(ReadQM("QMC_BroadIPAdr1"), "");
    EXPECT_NE(Trace().find("QMDBMGR: DBReadQMInfo[OUT] Data=524288"), std::string::npos);
}

TEST_F(Settings, WriteAddsThenReplaces) {
    EXPECT_EQ(DBWriteQMInfo("QMC_BroadSubnet1", "10.0.0.0"), 0);
    EXPECT_EQ(ReadQM("QMC_BroadSubnet1"), "10.0.0.0");
    EXPECT_EQ(DBWriteQMInfo("QMC_BroadSubnet1", "10.1.0.0"), 0);
    EXPECT_EQ(ReadQM("QMC_BroadSubnet1"), "10.1.0.0");
    EXPECT_EQ(DBWriteQMInfo("QMC_MaxLogSize", "1024"), 0);
    EXPECT_EQ(ReadQM("QMC_MaxLogSize"), "1024");
    // A write on a fresh system seeds the file too.
    EXPECT_EQ(ReadQM("QMC_LogEffective"), "30");
}

TEST_F(Settings, LimitsOfNamesAndValues) {
    std::string item127(127, 'i'), item128(128, 'i');
    std::string data255(255, 'd'), data256(256, 'd');
    EXPECT_EQ(DBWriteQMInfo(item127.c_str(), data255.c_str()), 0);
    EXPECT_EQ(ReadQM(item127.c_str()), data255);
    EXPECT_EQ(DBWriteQMInfo(item128.c_str(), "x"), -1);
    EXPECT_EQ(DBWriteQMInfo("QMC_X", data256.c_str()), -1);
    EXPECT_EQ(DBWriteQMInfo(nullptr, "x"), -1);
    EXPECT_EQ(DBWriteQMInfo("QMC_X", nullptr), -1);
    char data[256];
    EXPECT_EQ(DBReadQMInfo(nullptr, data), -1);
    EXPECT_EQ(DBReadQMInfo(item128.c_str(), data), -1);
    EXPECT_EQ(ReadQM("QMC_X"), "");  // nothing was written by the refused calls
    std::string trace = Trace();
    EXPECT_NE(trace.find("QMDBMGR: DBWriteQMInfo[ER_OUT] (SizeError) Item=" + item128), std::string::npos);
    EXPECT_NE(trace.find("QMDBMGR: DBWriteQMInfo[ER_OUT] (SizeError) Data=" + data256), std::string::npos);
    EXPECT_NE(trace.find("QMDBMGR: DBWriteQMInfo[ER_OUT] Item=NULL"), std::string::npos);
    EXPECT_NE(trace.find("QMDBMGR: DBWriteQMInfo[ER_OUT] Data=NULL"), std::string::npos);
}

TEST_F(Settings, InitialiseTwiceOnOneThreadIsStillSuccess) {
    EXPECT_EQ(DBMgrInitialize(), 0);  // the store answers "already initialised"
    EXPECT_EQ(ReadQM("QMC_MaxLogSize"), "524288");
}

TEST_F(Settings, ABrokenFileIsAFailureNotAnEmptyValue) {
    ASSERT_EQ(ReadQM("QMC_MaxLogSize"), "524288");
    {
        std::ofstream out(Conf("QMCONFIG.dat"), std::ios::trunc);
        out << "this is not a database file, but it is long enough to look like one......";
    }
    char data[256];
    EXPECT_EQ(DBReadQMInfo("QMC_MaxLogSize", data), -1);
    EXPECT_EQ(DBWriteQMInfo("QMC_MaxLogSize", "1"), -1);
    EXPECT_NE(Trace().find("QMDBMGR: DBReadQMInfo[ER_OUT] nRet="), std::string::npos);
}

// A settings file that was created but whose seeding never ran to its end: the creator
// stopped, or another caller stored an item first. Made here through the store itself.
void MakeUnseededSettings(const char* item, const char* value) {
    auto store = qm::platform::LoadLibraryByName("ctreestd");
    ASSERT_NE(store, nullptr);
    auto creifil = reinterpret_cast<int (*)(IsamFileSet*)>(qm::platform::LibrarySymbol(store, "CREIFIL"));
    auto clifil = reinterpret_cast<int (*)(IsamFileSet*)>(qm::platform::LibrarySymbol(store, "CLIFIL"));
    auto addrec = reinterpret_cast<int (*)(int, const void*)>(qm::platform::LibrarySymbol(store, "ADDREC"));
    ASSERT_TRUE(creifil && clifil && addrec);
    const IsamSegment seg[] = {{4, 127, ISAM_SEG_TEXT}};
    const IsamIndex idx[] = {{"..\\conf\\QMCONFIG.idx", 127, 0, 0, 1, seg}};
    IsamFileSet def = {"..\\conf\\QMCONFIG", -1, 388, 4096, 0, 1, idx};
    ASSERT_EQ(creifil(&def), 0);
    unsigned char rec[388] = {};
    std::strcpy(reinterpret_cast<char*>(rec + 4), item);
    std::strcpy(reinterpret_cast<char*>(rec + 132), value);
    ASSERT_EQ(addrec(def.dataFileNumber, rec), 0);
    ASSERT_EQ(clifil(&def), 0);
    qm::platform::FreeLibraryHandle(store);
}

TEST_F(Settings, CutShortSeedingIsFinishedAndKeepsStoredValues) {
    MakeUnseededSettings("QMC_BroadIPLocal", "OFF");
    EXPECT_EQ(ReadQM("QMC_MaxLogSize"), "524288");
    EXPECT_EQ(ReadQM("QMC_AllDeviceGroup"), "All Devices");
    EXPECT_EQ(ReadQM("QMC_BroadIPLocal"), "OFF") << "a value stored before the seeding stays";
    EXPECT_EQ(ReadQM("QMC_NeverStored"), "");
    ASSERT_EQ(DBWriteQMInfo("QMC_LogEffective", "7"), 0);
    EXPECT_EQ(ReadQM("QMC_LogEffective"), "7");
}

}  // namespace
