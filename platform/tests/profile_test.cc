#include <gtest/gtest.h>

#include <fstream>

#include "qm/platform/profile.h"
#include "qm/testing/testing.h"

namespace qm::platform {

TEST(Profile, ReadsValuesLikeWindows) {
    testing::TempRoot root;
    const std::string file = root / "bin/ntccnf.ini";
    std::ofstream(file) << "; comment\r\n[QWM_General]\r\nDBPath=wrong\r\n"
                           "[ qwm_dbconf ]\r\n  dbpath =  ntf2  \r\nCSVPath=\"ntf\\log\"\r\n"
                           "Empty=\r\n";
    char buf[128];
    std::string winPath = root.path() + "\\bin\\ntccnf.ini";
    EXPECT_EQ(GetPrivateProfileString("QWM_DBConf", "DBPath", "ntf", buf, sizeof buf,
                                      winPath.c_str()),
              4u);
    EXPECT_STREQ(buf, "ntf2");
    EXPECT_EQ(ReadProfileString("QWM_DBConf", "CSVPath", "x", file), "ntf\\log");
    EXPECT_EQ(ReadProfileString("QWM_DBConf", "Empty", "x", file), "");
    EXPECT_EQ(ReadProfileString("QWM_DBConf", "Missing", "dflt", file), "dflt");
    EXPECT_EQ(ReadProfileString("NoSection", "DBPath", "dflt", file), "dflt");
    EXPECT_EQ(ReadProfileString("QWM_DBConf", "DBPath", "ntf", root / "none.ini"), "ntf");
}

TEST(Profile, TruncatesToTheBuffer) {
    testing::TempRoot root;
    const std::string file = root / "p.ini";
    std::ofstream(file) << "[S]\nK=" << std::string(300, 'a') << "\n";
    EXPECT_EQ(ReadProfileString("S", "K", "", file), std::string(127, 'a'));
    char small[5];
    EXPECT_EQ(GetPrivateProfileString("S", "K", "", small, sizeof small, file.c_str()), 4u);
    EXPECT_STREQ(small, "aaaa");
    EXPECT_EQ(GetPrivateProfileString("S", "K", "", nullptr, 0, file.c_str()), 0u);
}

}  // namespace qm::platform
