// The library's exports through real loading: request variables, template files, the cache,
// tag library calls and concurrent requests.
#include <gtest/gtest.h>

#include <future>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

#include "qm/platform/library.h"
#include "qm/testing/testing.h"
#include "qmintpr/qmintpr.h"
#include "utf8.h"
#include "test_util.h"

namespace qm::intpr::test {
namespace {

namespace fs = std::filesystem;

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void WriteFile(const std::string& path, std::string_view text) {
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream(path, std::ios::binary) << text;
}

// Moves a file's modification time by `seconds` from now.
void SetMtime(const std::string& path, int seconds) {
    const auto t = fs::file_time_type::clock::now() + std::chrono::seconds(seconds);
    fs::last_write_time(path, t);
}

// A fresh installation root, the process in its bin/ as the HTTP server runs, and the
// interpreter loaded by name.
class ServiceTest : public ::testing::Test {
protected:
    void SetUp() override {
        previous_ = fs::current_path();
        fs::current_path(root_ / "bin");
        lib_ = qm::platform::LoadLibraryByName("qmintpr");
        ASSERT_NE(lib_, nullptr) << qm::platform::LibraryError();
        init_ = reinterpret_cast<QmServiceInitializeFn>(qm::platform::LibrarySymbol(lib_, "ServiceInitialize"));
        service_ = reinterpret_cast<QmServiceFn>(qm::platform::LibrarySymbol(lib_, "Service"));
        release_ = reinterpret_cast<QmServiceReleaseFn>(qm::platform::LibrarySymbol(lib_, "ServiceRelease"));
        ASSERT_TRUE(init_ && service_ && release_);
        svc_ = init_(&capture_, nullptr, &Capture::Callback);
        ASSERT_NE(svc_, nullptr);
        unsetenv("QM_TESTTAG_INIT_FAIL");
        setenv("QM_TESTTAG_LOG", (root_ / "log/testtag.log").c_str(), 1);
    }
    void TearDown() override {
        if (svc_) release_(svc_);
        if (lib_) qm::platform::FreeLibraryHandle(lib_);
        fs::current_path(previous_);
        unsetenv("QM_TESTTAG_LOG");
    }

    std::string Request(std::string params, int32_t* result = nullptr) {
        capture_ = Capture();
        const int32_t r = service_(svc_, params.data());
        if (result) *result = r;
        EXPECT_EQ(capture_.endCalls, 1);
        return capture_.text;
    }
    std::string Page(const std::string& name, const std::string& extra = "") {
        return Request("LANGUAGE=en|TEMPLATE=" + name + extra);
    }
    void Template(const std::string& rel, std::string_view text) { WriteFile(root_ / ("html/" + rel), text); }
    std::string CachePath(const std::string& name) { return root_ / ("cache/en/" + name); }

    qm::testing::TempRoot root_;
    fs::path previous_;
    qm::platform::LibraryHandle lib_ = nullptr;
    QmServiceInitializeFn init_ = nullptr;
    QmServiceFn service_ = nullptr;
    QmServiceReleaseFn release_ = nullptr;
    void* svc_ = nullptr;
    Capture capture_;
};

TEST_F(ServiceTest, RequestVariablesFromTheParameterText) {
    Template("common/vars.htm",
             "[% OUTHTML($LANGUAGE, \",\", $template, \",\", $X.TAG, \",\", $x, \",\", $ERROR_TAG_LEVEL.TAG, \",\", $D) %]");
    int32_t result = 0;
    EXPECT_EQ(Request("LANGUAGE=en|TEMPLATE=vars.htm|X|D=first|D=second|Q=a=b", &result), "en,vars.htm,4,,5,first");
    EXPECT_EQ(result, 7);  // Service returns what the final output call returned
    // A two-byte character's second byte is never a separator.
    Template("common/dbcs.htm", "[% OUTHEXHTML($T) %]");
    EXPECT_EQ(Request("LANGUAGE=en|TEMPLATE=dbcs.htm|T=\x81|x"), "817C78");
    // A name of 64 bytes or more cannot be a variable.
    EXPECT_EQ(Request("LANGUAGE=en|TEMPLATE=vars.htm|" + std::string(63, 'L') + "=1"),
              "IntprInitialize() Out of memory !");
}

TEST_F(ServiceTest, Utf8AndShiftJisValuesSplitAtTheirSeparators) {
    Template("common/v.htm", "[% OUTHEXHTML($V) %]/[% OUTHTML($TEMPLATE) %]");
    // UTF-8: Japanese (three bytes), the euro sign, an emoji (four bytes); before the names the
    // page needs and after them. The last byte of a three-byte character used to swallow the
    // next "|" ("$LANGUAGE Not Found !").
    for (const auto& [value, hex] : std::vector<std::pair<std::string, std::string>>{
             {"\xE3\x81\x86", "E38186"}, {"\xE2\x82\xAC", "E282AC"}, {"\xF0\x9F\x98\x80", "F09F9880"},
             {"a\xE6\x97\xA5\xE6\x9C\xAC", "61E697A5E69CAC"}}) {
        EXPECT_EQ(Request("V=" + value + "|LANGUAGE=en|TEMPLATE=v.htm"), hex + "/v.htm") << hex;
        EXPECT_EQ(Request("LANGUAGE=en|TEMPLATE=v.htm|V=" + value), hex + "/v.htm") << hex;
        EXPECT_EQ(Request("N=" + value + "|LANGUAGE=en|V=" + value + "|TEMPLATE=v.htm"), hex + "/v.htm") << hex;
    }
    // Shift-JIS: the second byte of "\x83\x7C" is "|" and still belongs to the character.
    EXPECT_EQ(Request("V=\x83\x7C|LANGUAGE=en|TEMPLATE=v.htm"), "837C/v.htm");
    EXPECT_EQ(Request("LANGUAGE=en|TEMPLATE=v.htm|V=\x83\x7C\x83\x7C"), "837C837C/v.htm");
    EXPECT_EQ(Request("V=\x83\x7C|N=\x82\xA0|LANGUAGE=en|TEMPLATE=v.htm"), "837C/v.htm");
}

TEST(RequestText, Utf8Validity) {
    for (const char* good : {"", "plain|text", "\xE3\x81\x86", "\xC2\xA9", "\xF4\x8F\xBF\xBF", "\xED\x9F\xBF"}) {
        EXPECT_TRUE(IsValidUtf8(good)) << good;
    }
    for (const char* bad : {"\x83|", "\xE3\x81|", "\xC0\xAF", "\xE0\x80\xAF", "\xED\xA0\x80",
                            "\xF4\x90\x80\x80", "\xF8\x88\x80\x80\x80", "\x80", "\xE3\x81"}) {
        EXPECT_FALSE(IsValidUtf8(bad)) << bad;
    }
}

TEST_F(ServiceTest, MissingOrUnsafeNames) {
    Template("common/a.htm", "A");
    EXPECT_EQ(Request("TEMPLATE=a.htm"), "$LANGUAGE Not Found !");
    EXPECT_EQ(Request("LANGUAGE=en"), "$TEMPLATE Not Found !");
    EXPECT_EQ(Request(""), "$LANGUAGE Not Found !");
    WriteFile(root_ / "secret.htm", "secret");
    // Names from the request are never echoed: the line names the variable that was refused.
    for (const char* bad : {"../secret.htm", "..", "x/../../secret.htm", "/etc/passwd", "C:\\x", "a\\b", "",
                            ".~a.htm.1.0", ".hidden", "<img src=x onerror=alert(1)>", "a b.htm",
                            "a%2Fb", "\xE3\x81\x86.htm", "a\tb"}) {
        EXPECT_EQ(Page(bad), "$TEMPLATE Not Found !") << bad;
    }
    EXPECT_EQ(Request("LANGUAGE=../..|TEMPLATE=a.htm"), "$LANGUAGE Not Found !");
    EXPECT_EQ(Request("LANGUAGE=<script>alert(1)</script>|TEMPLATE=a.htm"), "$LANGUAGE Not Found !");
    // Letters, digits, ".", "_" and "-" make a name.
    Template("common/Plain_name-2.htm", "plain");
    EXPECT_EQ(Request("LANGUAGE=en|TEMPLATE=Plain_name-2.htm"), "plain");
    EXPECT_EQ(Page("missing.htm"), "missing.htm Not Found !");
    EXPECT_FALSE(fs::exists(CachePath("missing.htm")));
    // Includes cannot climb out of the template folders either.
    Template("en/inc.htm", "[% #INCLUDE ../../secret.htm %]");
    EXPECT_EQ(Page("inc.htm"), "../../secret.htm Not Found !");
}

TEST_F(ServiceTest, LanguageFolderFirstThenCommon) {
    Template("common/shared.htm", "common");
    Template("common/both.htm", "common");
    Template("en/both.htm", "english");
    EXPECT_EQ(Page("shared.htm"), "common");
    EXPECT_EQ(Request("LANGUAGE=de|TEMPLATE=shared.htm"), "common");
    EXPECT_EQ(Page("both.htm"), "english");
    EXPECT_EQ(Request("LANGUAGE=de|TEMPLATE=both.htm"), "common");
}

TEST_F(ServiceTest, OnlyInstalledLanguagesAreCached) {
    // Every new LANGUAGE value used to leave a folder and compiled copies under cache/, so any
    // client could fill the disk. A language without its own folder under html/ is compiled
    // for the request and nothing is written.
    Template("common/shared.htm", "[% OUTHTML($LANGUAGE) %] shared");
    for (int i = 0; i < 50; ++i) {
        const std::string language = "x" + std::to_string(i);
        EXPECT_EQ(Request("LANGUAGE=" + language + "|TEMPLATE=shared.htm"), language + " shared");
    }
    EXPECT_EQ(Request("LANGUAGE=de|TEMPLATE=gone.htm"), "gone.htm Not Found !");
    EXPECT_EQ(Request("LANGUAGE=de|TEMPLATE=shared.htm"), "de shared");
    EXPECT_FALSE(fs::exists(root_ / "cache/de"));
    EXPECT_FALSE(fs::exists(root_ / "cache/x0"));
    // An installed language is cached as before.
    EXPECT_EQ(Page("shared.htm"), "en shared");
    EXPECT_TRUE(fs::exists(CachePath("shared.htm")));
    fs::create_directories(root_ / "html/de");
    EXPECT_EQ(Request("LANGUAGE=de|TEMPLATE=shared.htm"), "de shared");
    EXPECT_TRUE(fs::exists(root_ / "cache/de/shared.htm"));
}

TEST_F(ServiceTest, CacheFileIsBuiltSealedAndReused) {
    Template("en/t.htm", "<P>[% $N = 0 %][% WHILE ($N < 3) %]x[% $N = $N + 1 %][% ENDWHILE %]</P>");
    fs::remove_all(root_ / "cache");  // the cache root is created when missing
    EXPECT_EQ(Page("t.htm"), "<P>xxx</P>");
    const std::string cached = ReadFile(CachePath("t.htm"));
    EXPECT_EQ(cached.substr(0, 13), std::string("#\x08\x00\x00\x00OVRELOP2", 13));
    EXPECT_EQ(cached.substr(13), CompileText(ReadFile(root_ / "html/en/t.htm")));
    EXPECT_EQ(std::distance(fs::directory_iterator(root_ / "cache/en"), fs::directory_iterator()), 1);

    // A sealed page that is not older than its template is executed as it is.
    std::string edited = cached;
    edited.replace(edited.find("<P>"), 3, "<Q>");
    WriteFile(CachePath("t.htm"), edited);
    EXPECT_EQ(Page("t.htm"), "<Q>xxx</P>");

    // An interrupted build (UNSEALED) is never used: it is deleted and rebuilt.
    std::string unsealed = edited;
    unsealed.replace(5, 8, "UNSEALED");
    WriteFile(CachePath("t.htm"), unsealed);
    EXPECT_EQ(Page("t.htm"), "<P>xxx</P>");
    EXPECT_EQ(ReadFile(CachePath("t.htm")).substr(5, 8), "OVRELOP2");

    // A newer template makes the page stale.
    WriteFile(CachePath("t.htm"), edited);
    Template("en/t.htm", "new");
    SetMtime(root_ / "html/en/t.htm", 5);
    EXPECT_EQ(Page("t.htm"), "new");

    // A template that is gone takes its page with it.
    fs::remove(root_ / "html/en/t.htm");
    EXPECT_EQ(Page("t.htm"), "t.htm Not Found !");
    EXPECT_FALSE(fs::exists(CachePath("t.htm")));
}

TEST_F(ServiceTest, OnlyTheMainTemplateDecidesStaleness) {
    Template("en/main.htm", "[% #INCLUDE part.htm %]");
    Template("common/part.htm", "old part");
    EXPECT_EQ(Page("main.htm"), "old part");
    Template("common/part.htm", "new part");
    SetMtime(root_ / "html/common/part.htm", 5);
    EXPECT_EQ(Page("main.htm"), "old part");
    SetMtime(root_ / "html/en/main.htm", 10);
    EXPECT_EQ(Page("main.htm"), "new part");
}

TEST_F(ServiceTest, FailedCompileLeavesNoCacheFile) {
    Template("en/bad.htm", "before[% IF (1 %]after");
    EXPECT_EQ(Page("bad.htm"), "bad.htm: IF (1  Syntax Error !");
    EXPECT_TRUE(fs::is_empty(root_ / "cache/en"));
    // A header that is not "OVRELOP2", or is too long to be one, is not trusted either.
    Template("en/ok.htm", "fine");
    std::string page = "#\x09\x00\x00\x00OVRELOP2X";
    page.append("@\x03\x00\x00\x00old", 8);
    WriteFile(CachePath("ok.htm"), page);
    SetMtime(CachePath("ok.htm"), 5);
    EXPECT_EQ(Page("ok.htm"), "fine");
}

TEST_F(ServiceTest, CacheFileThatCannotBeCreated) {
    Template("en/t.htm", "x");
    fs::remove_all(root_ / "cache/en");
    WriteFile(root_ / "cache/en", "not a folder");
    EXPECT_EQ(Page("t.htm"), "t.htm: ..\\cache\\en\\t.htm Not Create !");
}

TEST_F(ServiceTest, CacheFileThatCannotBeRead) {
    // A folder where the page should be opens but cannot be read: the read error is reported
    // and no page is run from it.
    Template("en/t.htm", "x");
    fs::create_directories(CachePath("t.htm"));
    SetMtime(CachePath("t.htm"), 5);
    EXPECT_EQ(Page("t.htm"), "DISK Read Error !DISK Read Error !");
}

TEST_F(ServiceTest, TagLibraryResultsBecomeTables) {
    Template("en/tag.htm",
             "[% $R = QmTestTag.TAGResult(0, \"30143008060" "32B0601020107300806032B0602020109\") %]"
             "[% OUTHTML($ERROR_TAG_LEVEL, \":\", $R[0][0], \"=\", $R[0], \";\", $R[1].OID, \"=\", $R[1][1], "
             "\" type \", $R[1].TYPE, \" past \", $R[2][0].TAG) %]");
    EXPECT_EQ(Page("tag.htm"), "0:1.3.6.1=7;1.3.6.2=9 type 2 past 5");
}

TEST_F(ServiceTest, TagLibraryCodesAndNullResults) {
    // $ERROR_TAG_LEVEL holds every call's code; a negative code, no result or a block that does
    // not decode all give NULL, and the page goes on.
    Template("en/codes.htm",
             "[% $R = QmTestTag.TAGResult(-3, \"020101\") %][% OUTHTML($ERROR_TAG_LEVEL, \"/\", $R.TAG) %]|"
             "[% $R = QmTestTag.TAGResult(5, \"NULL\") %][% OUTHTML($ERROR_TAG_LEVEL, \"/\", $R.TAG) %]|"
             "[% $R = QmTestTag.TAGResult(0, \"3003020201\") %][% OUTHTML($ERROR_TAG_LEVEL, \"/\", $R.TAG) %]|"
             "[% $R = QmTestTag.TAGResult(1, \"0201FF\") %][% OUTHTML($ERROR_TAG_LEVEL, \"/\", $R) %]|"
             "[% $R = QmTestTag.TAGResult(0, \"0500\") %][% OUTHTML($ERROR_TAG_LEVEL, \"/\", $R.TAG) %]|"
             "[% IF ($ERROR_TAG_LEVEL == 0) %]zero[% ELSE %]other[% ENDIF %]");
    EXPECT_EQ(Page("codes.htm"), "-3/5|5/5|0/5|1/-1|0/5|zero");
    // A result with one row of two elements is a table: using it without indices is an error.
    Template("en/table.htm", "[% $R = QmTestTag.TAGResult(0, \"3006020101020102\") %][% OUTHTML($R[0][1]) %][% OUTHTML($R) %]");
    EXPECT_EQ(Page("table.htm"), "2$R Syntax Error !");
}

TEST_F(ServiceTest, ArgumentVectorAndHandle) {
    Template("en/args.htm",
             "[% QmTestTag.TAGDescribe(\"it-\", 42, \"text\", $ERROR_TAG_LEVEL) %]|"
             "[% $H = QmTestTag.TAGHandle(1) %][% OUTHTML($H) %]");
    const std::string out = Page("args.htm");
    EXPECT_EQ(out.substr(0, out.find('|')), "argc=6 i:42 t:text null");
    const std::string log = ReadFile(root_ / "log/testtag.log");
    ASSERT_EQ(log.substr(0, 5), "init ");
    const std::string handle = log.substr(5, log.find(' ', 5) - 5);
    EXPECT_EQ(out.substr(out.find('|') + 1), handle);
    EXPECT_NE(log.find("reserved 0"), std::string::npos);
    // The library stays loaded across requests: no second TAGInitialize.
    Page("args.htm");
    release_(svc_);
    svc_ = nullptr;
    EXPECT_EQ(ReadFile(root_ / "log/testtag.log"), "init " + handle + " reserved 0\nrelease " + handle + "\n");
}

TEST_F(ServiceTest, LibraryAndFunctionErrorsStopThePage) {
    // A library whose TAGInitialize fails is not kept, and is tried again at its next use.
    Template("en/ok.htm", "[% $X = QmTestTag.TAGResult(0, \"020102\") %][% OUTHTML($X) %]");
    setenv("QM_TESTTAG_INIT_FAIL", "1", 1);
    EXPECT_EQ(Page("ok.htm"), "QmTestTag Initialize Error !");
    EXPECT_EQ(Page("ok.htm"), "QmTestTag Initialize Error !");
    unsetenv("QM_TESTTAG_INIT_FAIL");
    EXPECT_EQ(Page("ok.htm"), "2");
    Template("en/nolib.htm", "a[% NoSuchLibrary.TAGX(1) %]b");
    EXPECT_EQ(Page("nolib.htm"), "aNoSuchLibrary Initialize Error !");
    Template("en/nofn.htm", "a[% $X = QmTestTag.TAGMissing(1) %]b");
    EXPECT_EQ(Page("nofn.htm"), "aTAGMissing Not Found !");
    // Only the library's own functions are tag functions: "exit" lives in the C library it
    // depends on (it used to end the whole server), a data symbol is no function, and the
    // contract's entry points take other arguments.
    for (const std::string name : {"exit", "abort", "getenv", "TAGData", "TAGInitialize", "TAGRelease"}) {
        Template("en/bind-" + name + ".htm", "a[% QmTestTag." + name + "(1) %]b");
        EXPECT_EQ(Page("bind-" + name + ".htm"), "a" + name + " Not Found !");
    }
    Template("en/bind.htm", "[% QmTestTag.TAGDescribe(\"i\", 5) %]");
    EXPECT_EQ(Page("bind.htm"), "argc=4 i:5");
    const std::string log = ReadFile(root_ / "log/testtag.log");
    EXPECT_EQ(log.find("init failed\ninit failed\ninit "), 0u) << log;
}

TEST_F(ServiceTest, RequestEndIsToldToTheLibrariesTheRequestCalled) {
    Template("en/ends.htm", "[% $N = QmTestTag.TAGEnds(1) %][% OUTHTML($N) %]");
    Template("en/plain.htm", "plain");
    const int before = std::stoi(Page("ends.htm"));
    EXPECT_EQ(Page("plain.htm"), "plain");
    // The first request ended (one call); the plain page never called the library.
    EXPECT_EQ(std::stoi(Page("ends.htm")), before + 1);
}

TEST_F(ServiceTest, CancelledPageStopsInALoopThatNeverWrites) {
    auto run = reinterpret_cast<int32_t (*)(void*, char*, const int32_t*)>(
        qm::platform::LibrarySymbol(lib_, "ServiceWithCancel"));
    ASSERT_NE(run, nullptr);
    Template("en/spin.htm", "[% $N = QmTestTag.TAGEnds(1) %]before[% WHILE (1) %][% ENDWHILE %]after");
    Template("en/ends.htm", "[% $N = QmTestTag.TAGEnds(1) %][% OUTHTML($N) %]");
    const int before = std::stoi(Page("ends.htm"));
    int32_t cancel = 0;
    capture_ = Capture();
    std::string params = "LANGUAGE=en|TEMPLATE=spin.htm";
    auto page = std::async(std::launch::async, [&] { return run(svc_, params.data(), &cancel); });
    // The host cancels some time later (the client went away); when does not matter.
    EXPECT_EQ(page.wait_for(std::chrono::milliseconds(200)), std::future_status::timeout);
    __atomic_store_n(&cancel, 1, __ATOMIC_RELEASE);
    ASSERT_EQ(page.wait_for(std::chrono::seconds(60)), std::future_status::ready) << "the loop did not stop";
    page.get();
    EXPECT_EQ(capture_.text, "before");
    EXPECT_EQ(capture_.endCalls, 1);
    // The cancelled request was told to the library it called, like any other.
    EXPECT_EQ(std::stoi(Page("ends.htm")), before + 2);
    // A page cancelled before it starts a tag call does not start it.
    cancel = 1;
    capture_ = Capture();
    params = "LANGUAGE=en|TEMPLATE=ends.htm";
    run(svc_, params.data(), &cancel);
    EXPECT_EQ(capture_.text, "");
    EXPECT_EQ(std::stoi(Page("ends.htm")), before + 3);
}

thread_local std::string t_page;
thread_local int t_ends = 0;
int32_t ThreadOutput(void*, int32_t, int32_t count, const char* bytes) {
    if (count == 0) t_ends++;
    else t_page.append(bytes, static_cast<size_t>(count));
    return 0;
}

TEST_F(ServiceTest, ConcurrentRequestsWhileTheCacheIsBuilt) {
    for (int t = 0; t < 4; ++t) {
        std::string body = "[% $N = 0 %][% WHILE ($N < 50) %][% $N = $N + 1 %][% ENDWHILE %]";
        body += "[% QmTestTag.TAGSlow(1) %]page" + std::to_string(t) + "=[% OUTHTML($N) %]";
        body += std::string(20000, 'x');  // several chunks to compile
        Template("en/p" + std::to_string(t) + ".htm", body);
    }
    // One service object for every thread, as in the server; each thread's output is told
    // apart by the callback itself.
    void* shared = init_(nullptr, nullptr, &ThreadOutput);
    std::vector<std::thread> threads;
    std::atomic<int> bad{0};
    for (int i = 0; i < 8; ++i) {
        threads.emplace_back([&, i] {
            for (int round = 0; round < 6; ++round) {
                t_page.clear();
                t_ends = 0;
                const int t = (i + round) % 4;
                std::string params = "LANGUAGE=en|TEMPLATE=p" + std::to_string(t) + ".htm";
                service_(shared, params.data());
                const std::string expected = "page" + std::to_string(t) + "=50" + std::string(20000, 'x');
                if (t_page != expected || t_ends != 1) bad++;
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(bad.load(), 0);
    // Calls into one library never overlapped.
    std::string params = "LANGUAGE=en|TEMPLATE=overlaps.htm";
    Template("en/overlaps.htm", "[% $O = QmTestTag.TAGOverlaps(1) %][% OUTHTML($O) %]");
    t_page.clear();
    service_(shared, params.data());
    EXPECT_EQ(t_page, "0");
    release_(shared);
    EXPECT_EQ(std::distance(fs::directory_iterator(root_ / "cache/en"), fs::directory_iterator()), 5);
}

}  // namespace
}  // namespace qm::intpr::test
