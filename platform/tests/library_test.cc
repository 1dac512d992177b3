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

TEST(Library, OwnFunctionsOnly) {
    LibraryHandle h = LoadLibraryByName("QmTestLibA");
    ASSERT_NE(h, nullptr);
    auto fn = reinterpret_cast<int (*)()>(LibraryOwnFunction(h, "QmTestValue"));
    ASSERT_NE(fn, nullptr);
    EXPECT_EQ(fn(), 42);
    // dlsym finds data too; symbols of its dependencies are refused as well (the interpreter's
    // tests show "exit" from the C library refused for a tag library that uses the C library).
    EXPECT_NE(LibrarySymbol(h, "QmTestData"), nullptr);
    EXPECT_EQ(LibraryOwnFunction(h, "QmTestData"), nullptr);
    EXPECT_EQ(LibraryOwnFunction(h, "NoSuchFunction"), nullptr);
    EXPECT_EQ(LibraryOwnFunction(nullptr, "QmTestValue"), nullptr);
    FreeLibraryHandle(h);
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
