// Devices, channels, host names, models and the device key list against real files.
#include "dbtest.h"

using namespace dbtest;

namespace {

class Devices : public DbTest {};

constexpr const char* kKey = "10;192.168.0.5;;00:11:22:33:44:55;1";

TEST_F(Devices, FirstWriteCreatesTheRecordWithDefaults) {
    EXPECT_EQ(ReadDevice(kKey, "DEV_Description"), "");  // no file yet
    ASSERT_EQ(DBWriteDeviceInfo(kKey, "DEV_Description", "Second floor"), 0);
    EXPECT_EQ(ReadDevice(kKey, "DEV_Description"), "Second floor");
    EXPECT_EQ(ReadDevice(kKey, "DEV_PrintParHour"), "60");
    EXPECT_EQ(ReadDevice(kKey, "DEV_ConsumParHour"), "1440");
    EXPECT_EQ(ReadDevice(kKey, "DEV_ErrorLog"), "END");
    EXPECT_EQ(ReadDevice(kKey, "DEV_PrintLog"), "END");
    EXPECT_EQ(ReadDevice(kKey, "DEV_ConsumLog"), "END");
    EXPECT_EQ(ReadDevice(kKey, "DEV_DeviceKey"), kKey);
    EXPECT_EQ(ReadDevice(kKey, "DEV_IPHostName"), "");
    EXPECT_EQ(ReadDevice("other", "DEV_PrintParHour"), "");  // missing device
    EXPECT_EQ(ReadDevice(kKey, "DEV_NoSuchItem"), "");
}

TEST_F(Devices, KeyLengthLimitAndOverlongValuesAreCut) {
    std::string key64(64, 'k'), key65(65, 'k');
    EXPECT_EQ(DBWriteDeviceInfo(key64.c_str(), "DEV_SerialNum", "S1"), 0);
    EXPECT_EQ(ReadDevice(key64.c_str(), "DEV_SerialNum"), "S1");
    EXPECT_EQ(DBWriteDeviceInfo(key65.c_str(), "DEV_SerialNum", "S1"), -1);
    EXPECT_NE(Trace().find("QMDBMGR: DBWriteDeviceInfo[ER_OUT] (SizeError) lpszDKey=" + key65),
              std::string::npos);
    EXPECT_EQ(DBWriteDeviceInfo(nullptr, "DEV_SerialNum", "S1"), -1);
    EXPECT_NE(Trace().find("QMDBMGR: DBWriteDeviceInfo[ER_OUT] lpszDKey=NULL"), std::string::npos);
    std::string longText(100, 'd');
    EXPECT_EQ(DBWriteDeviceInfo(kKey, "DEV_Description", longText.c_str()), 0);
    EXPECT_EQ(ReadDevice(kKey, "DEV_Description"), std::string(64, 'd'));
    // Neighbouring fields are untouched by the cut value.
    EXPECT_EQ(ReadDevice(kKey, "DEV_ManagmentNum"), "");
    EXPECT_EQ(DBWriteDeviceInfo(kKey, "DEV_PrintParHour", "123456789"), 0);
    EXPECT_EQ(ReadDevice(kKey, "DEV_PrintParHour"), "1234567");
    EXPECT_EQ(ReadDevice(kKey, "DEV_ConsumLog"), "END");
}

TEST_F(Devices, UnknownItemStillCreatesTheDeviceAndKeyWriteRenames) {
    EXPECT_EQ(DBWriteDeviceInfo(kKey, "DEV_Bogus", "x"), 0);
    EXPECT_EQ(ReadDevice(kKey, "DEV_PrintParHour"), "60");
    EXPECT_EQ(DBWriteDeviceInfo(kKey, "DEV_DeviceKey", "renamed"), 0);
    EXPECT_EQ(ReadDevice("renamed", "DEV_PrintParHour"), "60");
    EXPECT_EQ(ReadDevice(kKey, "DEV_PrintParHour"), "");
    // Renaming onto a key that exists is refused, and both records stay.
    EXPECT_EQ(DBWriteDeviceInfo("second", "DEV_SerialNum", "2"), 0);
    EXPECT_EQ(DBWriteDeviceInfo("second", "DEV_DeviceKey", "renamed"), -1);
    EXPECT_EQ(ReadDevice("second", "DEV_SerialNum"), "2");
}

TEST_F(Devices, ChannelBlocksRoundTripAsUpperCaseHex) {
    int size = -1;
    unsigned char out[64];
    EXPECT_EQ(DBReadChannelInfo(kKey, out, &size), 0);
    EXPECT_EQ(size, 0);
    const unsigned char three[] = {0x00, 0xAB, 0x10};
    ASSERT_EQ(DBWriteChannelInfo(kKey, three, 3), 0);
    EXPECT_NE(Trace().find("QMDBMGR: DBWriteChannelInfo[OUT] Ret=0 szChannel=00AB10"), std::string::npos);
    ASSERT_EQ(DBReadChannelInfo(kKey, out, &size), 0);
    ASSERT_EQ(size, 3);
    EXPECT_EQ(std::memcmp(out, three, 3), 0);
    // A shorter block over a longer one leaves no trace of the old bytes.
    unsigned char full[64];
    for (int i = 0; i < 64; ++i) full[i] = static_cast<unsigned char>(0xF0 + i);
    ASSERT_EQ(DBWriteChannelInfo(kKey, full, 64), 0);
    ASSERT_EQ(DBReadChannelInfo(kKey, out, &size), 0);
    EXPECT_EQ(size, 64);
    EXPECT_EQ(std::memcmp(out, full, 64), 0);
    ASSERT_EQ(DBWriteChannelInfo(kKey, three, 1), 0);
    ASSERT_EQ(DBReadChannelInfo(kKey, out, &size), 0);
    EXPECT_EQ(size, 1);
    EXPECT_EQ(DBWriteChannelInfo(kKey, full, 65), -1);
    EXPECT_EQ(DBWriteChannelInfo(kKey, full, 0), -1);
    EXPECT_EQ(DBWriteChannelInfo(kKey, full, -3), -1);
    EXPECT_EQ(DBWriteChannelInfo(kKey, nullptr, 3), -1);
    std::string trace = Trace();
    EXPECT_NE(trace.find("QMDBMGR: DBWriteChannelInfo[ER_OUT] (SizeError) nSize=65"), std::string::npos);
    EXPECT_NE(trace.find("QMDBMGR: DBWriteChannelInfo[ER_OUT] nSize=0"), std::string::npos);
    EXPECT_NE(trace.find("QMDBMGR: DBWriteChannelInfo[ER_OUT] pChannel=NULL"), std::string::npos);
}

TEST_F(Devices, ChannelMovesToANewKey) {
    const unsigned char a[] = {1, 2}, b[] = {9};
    EXPECT_EQ(DBConvDeviceKeyChannelInfo("old", "new"), -1);  // no file
    ASSERT_EQ(DBWriteChannelInfo("old", a, 2), 0);
    ASSERT_EQ(DBWriteChannelInfo("new", b, 1), 0);
    ASSERT_EQ(DBConvDeviceKeyChannelInfo("old", "new"), 0);
    unsigned char out[64];
    int size = -1;
    ASSERT_EQ(DBReadChannelInfo("new", out, &size), 0);
    ASSERT_EQ(size, 2);
    EXPECT_EQ(out[1], 2);
    ASSERT_EQ(DBReadChannelInfo("old", out, &size), 0);
    EXPECT_EQ(size, 0);
    EXPECT_EQ(DBConvDeviceKeyChannelInfo("absent", "x"), -1);
    // A move from a key without a record fails before it touches the target's record.
    ASSERT_EQ(DBWriteChannelInfo("kept", b, 1), 0);
    EXPECT_EQ(DBConvDeviceKeyChannelInfo("absent", "kept"), -1);
    ASSERT_EQ(DBReadChannelInfo("kept", out, &size), 0);
    ASSERT_EQ(size, 1);
    EXPECT_EQ(out[0], 9);
    // Onto itself keeps the record.
    ASSERT_EQ(DBConvDeviceKeyChannelInfo("new", "new"), 0);
    ASSERT_EQ(DBReadChannelInfo("new", out, &size), 0);
    EXPECT_EQ(size, 2);
    EXPECT_EQ(DBConvDeviceKeyChannelInfo(nullptr, "x"), -1);
    EXPECT_EQ(DBConvDeviceKeyChannelInfo("new", std::string(65, 'n').c_str()), -1);
}

TEST_F(Devices, KeyListCountsThenCopiesInKeyOrder) {
    int n = 0;
    EXPECT_EQ(DBReadDeviceKeyList(&n, nullptr), 0);
    EXPECT_EQ(n, 0);
    n = 1;
    Names one(1);
    EXPECT_EQ(DBReadDeviceKeyList(&n, one.data()), -1);  // missing file in the copy phase
    for (const char* k : {"c", "a", "b"}) ASSERT_EQ(DBWriteDeviceInfo(k, "DEV_SerialNum", k), 0);
    n = 0;
    ASSERT_EQ(DBReadDeviceKeyList(&n, nullptr), 0);
    ASSERT_EQ(n, 3);
    Names names(3);
    ASSERT_EQ(DBReadDeviceKeyList(&n, names.data()), 0);
    EXPECT_EQ(names.strings(), (std::vector<std::string>{"a", "b", "c"}));
    n = 2;
    Names two(2);
    ASSERT_EQ(DBReadDeviceKeyList(&n, two.data()), 0);
    EXPECT_EQ(two.strings(), (std::vector<std::string>{"a", "b"}));
    n = 4;
    Names four(4);
    EXPECT_EQ(DBReadDeviceKeyList(&n, four.data()), -1);
}

TEST_F(Devices, HostNamesStoreReplaceAndLimits) {
    char name[64] = "junk";
    EXPECT_EQ(DBReadIPHostName("10.0.0.1", name), 0);
    EXPECT_STREQ(name, "");
    ASSERT_EQ(DBWriteIPHostName("10.0.0.1", "printer-a"), 0);
    ASSERT_EQ(DBWriteIPHostName("255.255.255.255", "bcast"), 0);
    ASSERT_EQ(DBReadIPHostName("10.0.0.1", name), 0);
    EXPECT_STREQ(name, "printer-a");
    ASSERT_EQ(DBWriteIPHostName("10.0.0.1", "printer-b"), 0);
    ASSERT_EQ(DBReadIPHostName("10.0.0.1", name), 0);
    EXPECT_STREQ(name, "printer-b");
    ASSERT_EQ(DBReadIPHostName("255.255.255.255", name), 0);
    EXPECT_STREQ(name, "bcast");
    EXPECT_EQ(DBWriteIPHostName("1234567890123456", "x"), -1);
    EXPECT_EQ(DBWriteIPHostName("10.0.0.2", std::string(64, 'h').c_str()), 0 - 1);
    EXPECT_EQ(DBWriteIPHostName("10.0.0.2", std::string(63, 'h').c_str()), 0);
    EXPECT_EQ(DBWriteIPHostName(nullptr, "x"), -1);
    EXPECT_EQ(DBWriteIPHostName("10.0.0.3", nullptr), -1);
    EXPECT_NE(Trace().find("QMDBMGR: DBWriteIPHostName[ER_OUT] lpszHName=NULL"), std::string::npos);
}

TEST_F(Devices, ModelsStoreItemsAndCutOverlongValues) {
    char data[332] = "junk";
    EXPECT_EQ(DBReadModelInfo("LP-9000", "MCN_ColorType", data), 0);
    EXPECT_STREQ(data, "");
    ASSERT_EQ(DBWriteModelInfo("LP-9000", "MCN_ColorType", "Color"), 0);
    ASSERT_EQ(DBWriteModelInfo("LP-9000", "MCN_LargeImage", "lp9000.gif"), 0);
    ASSERT_EQ(DBReadModelInfo("LP-9000", "MCN_ColorType", data), 0);
    EXPECT_STREQ(data, "Color");
    ASSERT_EQ(DBReadModelInfo("LP-9000", "MCN_ModelName", data), 0);
    EXPECT_STREQ(data, "LP-9000");
    // The writer does not check lengths; a value longer than its field is cut to it.
    ASSERT_EQ(DBWriteModelInfo("LP-9000", "MCN_ColorType", "Monochrome"), 0);
    ASSERT_EQ(DBReadModelInfo("LP-9000", "MCN_ColorType", data), 0);
    EXPECT_STREQ(data, "Monochr");
    ASSERT_EQ(DBReadModelInfo("LP-9000", "MCN_DeviceCategory", data), 0);
    EXPECT_STREQ(data, "");
    ASSERT_EQ(DBWriteModelInfo("LP-9000", "MCN_Unknown", "x"), 0);
    ASSERT_EQ(DBReadModelInfo("LP-9000", "MCN_Unknown", data), 0);
    EXPECT_STREQ(data, "");
    ASSERT_EQ(DBWriteModelInfo("LP-100", "MCN_Unknown", "x"), 0);  // still adds the model
    ASSERT_EQ(DBReadModelInfo("LP-100", "MCN_ModelName", data), 0);
    EXPECT_STREQ(data, "LP-100");
    EXPECT_EQ(DBWriteModelInfo(std::string(31, 'm').c_str(), "MCN_ColorType", "x"), 0);
    EXPECT_EQ(DBWriteModelInfo(std::string(32, 'm').c_str(), "MCN_ColorType", "x"), -1);
}

}  // namespace
