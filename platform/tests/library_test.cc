#include <gtest/gtest.h>

#include <filesystem>

#include "qm/platform/library.h"
#include "qm/testing/testing.h"

namespace qm::platform {

using TestValueFn = int (*)();

TEST(Library, LoadsByNameWithoutRegardToCase) {
    for (const char* name : {"QmTestLibA", "qmtestliba", "QMTESTLIBA.dll", "libqmtestlibA.so"}) {
        LibraryHandle h = LoadLibraryByName(name);
        ASSERT_NE(h, nullptr) << name << ": " << LibraryError();
        auto fn = reinterpret_cast<TestValueFn>(LibrarySymbol(h, "QmTestValue"));
        ASSERT_NE(fn, nullptr);
        EXPECT_EQ(fn(), 42);
        EXPECT_EQ(LibrarySymbol(h, "qmtestvalue"), nullptr) << "symbols are exact";
        EXPECT_EQ(FreeLibraryHandle(h), 0);
    }
}

TEST(Library, MissingLibraryOrSymbolFailsCleanly) {
    EXPECT_EQ(LoadLibraryByName("NoSuchLibraryAnywhere"), nullptr);
    EXPECT_FALSE(LibraryError().empty());
    EXPECT_EQ(LibrarySymbol(nullptr, "x"), nullptr);
    EXPECT_NE(FreeLibraryHandle(nullptr), 0);
}

TEST(Library, InstallationBinFolderComesFirst) {
    testing::TempRoot root;
    std::string built = testing::BuildBinFolder() + "/libQmTestLibA.so";
    std::string copy = root.path() + "/bin/libQMTESTLIBA.so";
    std::filesystem::copy_file(built, copy);
    EXPECT_EQ(ResolveLibraryPath("qmtestliba"), copy);
    std::filesystem::remove(copy);
    EXPECT_EQ(ResolveLibraryPath("qmtestliba"), built);
}

}  // namespace qm::platform
