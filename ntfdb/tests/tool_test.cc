// The listing tool against a database written through the library.
#include <cstdio>

#include "ntfdb_fixture.h"

using namespace ntftest;

namespace {

TEST_F(NtfTest, ListingToolNamesTheFieldsOfEveryRecord) {
    Device d("10.6.0.1", "1", "lab");
    ASSERT_EQ(DBSetHandleDevice("GR1", d.get()), 0);
    ASSERT_EQ(DBSetSendData(d.get(), Alert(1000, 1, 3, 4, 8, 2, 40, "paper jam").c_str(), 0), -301);
    std::string command = qm::testing::BuildBinFolder() + "/qmntfls --root " + root().path() +
                          " ntcctl ntcsts 2>&1";
    FILE* p = popen(command.c_str(), "r");
    ASSERT_NE(p, nullptr);
    std::string out;
    char buf[4096];
    while (size_t n = fread(buf, 1, sizeof buf, p)) out.append(buf, n);
    EXPECT_EQ(pclose(p), 0) << out;
    EXPECT_NE(out.find("ntcctl mark=0 handle=\"GR1\" device=10;10.6.0.1;;001122334455;1"), std::string::npos) << out;
    EXPECT_NE(out.find("text=\"lab\""), std::string::npos) << out;
    EXPECT_NE(out.find("kind=1 index=3 severity=4"), std::string::npos) << out;
    EXPECT_NE(out.find("code=40 description=\"paper jam\""), std::string::npos) << out;
    EXPECT_NE(out.find("ntcsts: 1 record\n"), std::string::npos) << out;
}

}  // namespace
