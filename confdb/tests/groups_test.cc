// Groups, sub-group lists and the candidates for adding a sub-group.
#include <algorithm>

#include "dbtest.h"

using namespace dbtest;

namespace {

class Groups : public DbTest {
protected:
    std::vector<std::string> Subs(const char* group) {
        int n = 0;
        EXPECT_EQ(DBReadSubGroupNameList(group, &n, nullptr), 0);
        Names names(n);
        if (n > 0) {
            EXPECT_EQ(DBReadSubGroupNameList(group, &n, names.data()), 0);
        }
        return names.strings();
    }
    std::vector<std::string> Candidates(const char* group) {
        int n = 0;
        EXPECT_EQ(DBReadAddGroupNameList(group, &n, nullptr), 0);
        Names names(n);
        int given = n;
        if (n > 0) {
            EXPECT_EQ(DBReadAddGroupNameList(group, &n, names.data()), 0);
        }
        EXPECT_EQ(n, given);
        return names.strings();
    }
};

TEST_F(Groups, FreshSystemHasTheRootGroup) {
    char data[65];
    EXPECT_EQ(DBReadGroupInfo("All Devices", "GRP_GROUPKEY", data), 0);  // no file yet: empty
    EXPECT_STREQ(data, "");
    EXPECT_EQ(DBCreateGroupInfo("Early"), -1);  // the group file must exist first
    EXPECT_EQ(GroupNames(), (std::vector<std::string>{"All Devices"}));
    EXPECT_TRUE(Exists("QMGROUP.dat"));
    EXPECT_EQ(ReadGroup("All Devices", "GRP_GROUPKEY"), "00000000");
    EXPECT_EQ(ReadGroup("All Devices", "GRP_BGImageFile"), "BGImage/00000000.gif");
    EXPECT_EQ(ReadGroup("All Devices", "GRP_DisplayIcon"), "G1");
    EXPECT_EQ(ReadGroup("All Devices", "GRP_DefaultView"), "Simple");
    EXPECT_EQ(ReadGroup("All Devices", "GRP_NoticeLevel"), "1");
    EXPECT_EQ(ReadGroup("All Devices", "GRP_ErrorLogSubG"), "OFF");
}

TEST_F(Groups, CreatedGroupsAreNumberedInOrder) {
    GroupNames();
    ASSERT_EQ(DBCreateGroupInfo("Sales"), 0);
    ASSERT_EQ(DBCreateGroupInfo("Lab"), 0);
    EXPECT_EQ(ReadGroup("Sales", "GRP_GROUPKEY"), "00000001");
    EXPECT_EQ(ReadGroup("Lab", "GRP_GROUPKEY"), "00000002");
    EXPECT_EQ(ReadGroup("Lab", "GRP_BGImageFile"), "");
    EXPECT_EQ(ReadGroup("Lab", "GRP_ErrorLogSet"), "END");
    EXPECT_EQ(DBCreateGroupInfo("Sales"), -1);
    EXPECT_EQ(DBCreateGroupInfo(nullptr), -1);
    EXPECT_EQ(DBCreateGroupInfo(std::string(65, 'g').c_str()), -1);
    ASSERT_EQ(DBCreateGroupInfo(std::string(64, 'g').c_str()), 0);
    std::string trace = Trace();
    EXPECT_NE(trace.find("QMDBMGR: DBCreateGroupInfo[ER_OUT] lpszGroup=NULL"), std::string::npos);
    EXPECT_NE(trace.find("QMDBMGR: DBCreateGroupInfo[ER_OUT] (SizeError) lpszGroup=" + std::string(65, 'g')),
              std::string::npos);
    EXPECT_EQ(GroupNames(), (std::vector<std::string>{"All Devices", "Sales", "Lab", std::string(64, 'g')}));
}

TEST_F(Groups, WriteChangesItemsAndRenames) {
    GroupNames();
    ASSERT_EQ(DBCreateGroupInfo("Sales"), 0);
    EXPECT_EQ(DBWriteGroupInfo("Sales", "GRP_AdminName", "Kim"), 0);
    EXPECT_EQ(ReadGroup("Sales", "GRP_AdminName"), "Kim");
    std::string map(6000, 'm');
    EXPECT_EQ(DBWriteGroupInfo("Sales", "GRP_MapInfo", map.c_str()), 0);
    EXPECT_EQ(ReadGroup("Sales", "GRP_MapInfo"), std::string(5119, 'm'));
    // The image file name field is wider than the 65 bytes callers give for it.
    std::string image(100, 'i');
    EXPECT_EQ(DBWriteGroupInfo("Sales", "GRP_BGImageFile", image.c_str()), 0);
    std::vector<char> small(65 + 64, '#');
    ASSERT_EQ(DBReadGroupInfo("Sales", "GRP_BGImageFile", small.data()), 0);
    EXPECT_EQ(std::string(small.data()), std::string(64, 'i'));
    EXPECT_EQ(small[65], '#');
    EXPECT_EQ(DBWriteGroupInfo("Sales", "GRP_GROUPKEY", "00000007"), 0);
    EXPECT_EQ(ReadGroup("Sales", "GRP_GROUPKEY"), "00000001");
    EXPECT_EQ(DBWriteGroupInfo("Sales", "GRP_Nothing", "x"), 0);
    EXPECT_EQ(DBWriteGroupInfo("Nobody", "GRP_AdminName", "x"), -1);
    char data[65];
    EXPECT_EQ(DBReadGroupInfo("Nobody", "GRP_AdminName", data), -1);
    EXPECT_EQ(ReadGroup("Sales", "GRP_Unknown"), "");
    EXPECT_EQ(DBWriteGroupInfo("Sales", "GRP_GroupName", "Marketing"), 0);
    EXPECT_EQ(ReadGroup("Marketing", "GRP_AdminName"), "Kim");
    EXPECT_EQ(DBWriteGroupInfo("Marketing", "GRP_GroupName", "All Devices"), -1);
}

TEST_F(Groups, SubGroupEntriesAddOnceAndRemove) {
    GroupNames();
    for (const char* g : {"A", "B", "C"}) ASSERT_EQ(DBCreateGroupInfo(g), 0);
    EXPECT_EQ(Subs("B"), std::vector<std::string>{});  // no sub-group file yet
    ASSERT_EQ(DBWriteSubGroupInGroup("B", "C"), 0);
    ASSERT_EQ(DBWriteSubGroupInGroup("B", "A"), 0);
    ASSERT_EQ(DBWriteSubGroupInGroup("B", "A"), 0);
    EXPECT_EQ(Subs("B"), (std::vector<std::string>{"C", "A"}));  // order of adding
    EXPECT_EQ(DBWriteSubGroupInGroup("B", "Nobody"), -1);
    ASSERT_EQ(DBDeleteSubGroupInGroup("B", "C"), 0);
    ASSERT_EQ(DBDeleteSubGroupInGroup("B", "C"), 0);  // absent is success
    EXPECT_EQ(Subs("B"), std::vector<std::string>{"A"});
    int n = 0;
    EXPECT_EQ(DBReadSubGroupNameList("Nobody", &n, nullptr), -1);
}

TEST_F(Groups, DeletingAGroupRemovesItsEntriesAndTheLinksToIt) {
    GroupNames();
    for (const char* g : {"A", "B", "C"}) ASSERT_EQ(DBCreateGroupInfo(g), 0);
    ASSERT_EQ(DBWriteSubGroupInGroup("B", "A"), 0);
    ASSERT_EQ(DBWriteSubGroupInGroup("A", "C"), 0);
    ASSERT_EQ(DBWriteSubGroupInGroup("B", "C"), 0);
    DBHANDLE h = DBOpenDeviceKeyInGroup("A");
    ASSERT_EQ(DBWriteDeviceKeyInGroup(h, "dev1"), 0);
    DBCloseDeviceKeyInGroup(h);
    ASSERT_EQ(DBDeleteGroupInfo("A"), 0);
    EXPECT_EQ(GroupNames(), (std::vector<std::string>{"All Devices", "B", "C"}));
    EXPECT_EQ(Subs("B"), std::vector<std::string>{"C"}) << "B no longer names the deleted A";
    // A re-created A inherits neither entries nor members.
    ASSERT_EQ(DBCreateGroupInfo("A"), 0);
    EXPECT_EQ(MembersOf("A"), std::vector<std::string>{});
    EXPECT_EQ(Subs("A"), std::vector<std::string>{});
    EXPECT_EQ(DBDeleteGroupInfo("Nobody"), -1);
}

TEST_F(Groups, ANumberTakenAgainDoesNotInheritTheOldParents) {
    GroupNames();
    for (const char* g : {"Parent", "Last"}) ASSERT_EQ(DBCreateGroupInfo(g), 0);
    ASSERT_EQ(DBWriteSubGroupInGroup("Parent", "Last"), 0);
    ASSERT_EQ(DBDeleteGroupInfo("Last"), 0);
    // The highest number is free again and the next group takes it.
    ASSERT_EQ(DBCreateGroupInfo("Newcomer"), 0);
    EXPECT_EQ(ReadGroup("Newcomer", "GRP_GROUPKEY"), "00000002");
    EXPECT_EQ(Subs("Parent"), std::vector<std::string>{});
    EXPECT_EQ(Candidates("Newcomer"), std::vector<std::string>{"Parent"});
}

TEST_F(Groups, AMissingRootIsRestored) {
    GroupNames();
    // A group file without its root: the state a creator that stopped half-way leaves.
    ASSERT_EQ(DBDeleteGroupInfo("All Devices"), 0);
    ASSERT_EQ(DBCreateGroupInfo("First"), 0) << "the root comes back before numbering";
    EXPECT_EQ(GroupNames(), (std::vector<std::string>{"All Devices", "First"}));
    EXPECT_EQ(ReadGroup("All Devices", "GRP_BGImageFile"), "BGImage/00000000.gif");
    EXPECT_EQ(ReadGroup("First", "GRP_GROUPKEY"), "00000001");
    ASSERT_EQ(DBDeleteGroupInfo("All Devices"), 0);
    EXPECT_EQ(GroupNames(), (std::vector<std::string>{"All Devices", "First"}));
}

TEST_F(Groups, CandidatesExcludeRootSelfDirectChildrenAndAncestors) {
    GroupNames();
    for (const char* g : {"A", "B", "C", "D"}) ASSERT_EQ(DBCreateGroupInfo(g), 0);
    ASSERT_EQ(DBWriteSubGroupInGroup("B", "A"), 0);
    EXPECT_EQ(Candidates("A"), (std::vector<std::string>{"C", "D"}));
    EXPECT_EQ(Candidates("B"), (std::vector<std::string>{"C", "D"}));
    ASSERT_EQ(DBWriteSubGroupInGroup("A", "C"), 0);
    // C under A under B: adding A or B below C would close a cycle.
    EXPECT_EQ(Candidates("C"), (std::vector<std::string>{"D"}));
    // D may take any of them; B (and everything under it) are fine below D.
    EXPECT_EQ(Candidates("D"), (std::vector<std::string>{"A", "B", "C"}));
    // With a count given, at most that many are copied and the count stays.
    int n = 2;
    Names two(2);
    ASSERT_EQ(DBReadAddGroupNameList("D", &n, two.data()), 0);
    EXPECT_EQ(n, 2);
    EXPECT_EQ(two.strings(), (std::vector<std::string>{"A", "B"}));
    n = 0;
    EXPECT_EQ(DBReadAddGroupNameList("Nobody", &n, nullptr), -1);
}

}  // namespace
