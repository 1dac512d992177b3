// Qmcgipst as a real CGI process: storing GIF uploads under the document root and serving
// them back, and refusing names that would leave the root.
#include <filesystem>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "cgi_process.h"
#include "qm/testing/testing.h"

namespace qm::cgigw::testing {
namespace {

namespace fs = std::filesystem;

const std::string kPageHead = "Content-type: text/html\nPragma: no-cache\n\n<HTML>\n<HEAD>\n";
const std::string kNoVariables =
    kPageHead + "</HEAD>\nQmcgipst Error: Failed to get the cgi variables.<br>\n</HTML>\n";
const std::string kImageHead = "Content-type: image/gif\nPragma: no-cache\n\n";

std::string Redirect(const std::string& url) {
    return kPageHead + "<META HTTP-EQUIV=\"Refresh\" CONTENT=\"1;URL=" + url + "\">\n</HEAD>\n</HTML>\n";
}

std::string Slurp(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

class Qmcgipst : public ::testing::Test {
protected:
    void SetUp() override {
        docroot_ = root_ / "htdocs";
        work_ = root_ / "work";
        fs::create_directories(work_);
        fs::create_directories(docroot_ + "/img");
        for (int i = 0; i < 3000; ++i) gif_.push_back(static_cast<char>(i * 13 + 1));
        gif_ = "GIF89a\r\n" + std::string(1, '\0') + gif_;
    }
    Env BaseEnv() const {
        return {{"GATEWAY_INTERFACE", "CGI/1.1"},
                {"SERVER_PROTOCOL", "HTTP/1.1"},
                {"SCRIPT_NAME", "/cgi-bin/Qmcgipst"},
                {"PATH_INFO", "/cgi/upload"},
                {"PATH_TRANSLATED", docroot_ + "/cgi/upload"}};
    }
    CgiResult Upload(const std::string& saveName, const std::string& type,
                     const std::string& success = "/ok.htm") {
        auto field = [](const std::string& name, const std::string& value) {
            return "--BND\r\nContent-Disposition: form-data; name=\"" + name + "\"\r\n\r\n" +
                   value + "\r\n";
        };
        std::string body = field("SaveFileName", saveName) + field("URL_Success", success) +
                           field("URL_Failure", "/fail.htm") + field("URL_Canceled", "/cancel.htm") +
                           "--BND\r\nContent-Disposition: form-data; name=\"ImageFile\"; "
                           "filename=\"C:\\pics\\logo.gif\"\r\nContent-Type: " + type +
                           "\r\n\r\n" + gif_ + "\r\n--BND--\r\n";
        Env env = BaseEnv();
        env["REQUEST_METHOD"] = "POST";
        env["CONTENT_TYPE"] = "multipart/form-data; boundary=BND";
        env["CONTENT_LENGTH"] = std::to_string(body.size());
        return RunCgi(BuiltProgram("Qmcgipst"), env, body, work_);
    }
    CgiResult Get(const std::string& query) {
        Env env = BaseEnv();
        env["REQUEST_METHOD"] = "GET";
        env["QUERY_STRING"] = query;
        return RunCgi(BuiltProgram("Qmcgipst"), env, "", work_);
    }
    std::size_t FilesInWork() const {
        return static_cast<std::size_t>(std::distance(fs::directory_iterator(work_), {}));
    }

    qm::testing::TempRoot root_;
    std::string docroot_, work_, gif_;
};

TEST_F(Qmcgipst, StoresAGifAndServesItBackByteForByte) {
    auto up = Upload("img/a.gif", "IMAGE/GIF");
    EXPECT_EQ(up.status, 0);
    EXPECT_EQ(up.output, Redirect("/ok.htm"));
    EXPECT_EQ(Slurp(docroot_ + "/img/a.gif"), gif_);
    EXPECT_EQ(fs::status(docroot_ + "/img/a.gif").permissions() & fs::perms::others_read,
              fs::perms::others_read);
    EXPECT_EQ(FilesInWork(), 0u) << "no upload left behind";
    for (const char* name : {"img/a.gif", "img\\a.gif"}) {
        auto down = Get(std::string("GetFileName=") + name);
        EXPECT_EQ(down.status, 0);
        EXPECT_EQ(down.output, kImageHead + gif_) << name;
    }
}

TEST_F(Qmcgipst, ExistingTargetIsKeptAndCanceled) {
    std::ofstream(docroot_ + "/img/a.gif") << "original";
    EXPECT_EQ(Upload("img/a.gif", "image/gif").output, Redirect("/cancel.htm"));
    EXPECT_EQ(Slurp(docroot_ + "/img/a.gif"), "original");
    EXPECT_EQ(FilesInWork(), 0u);
}

TEST_F(Qmcgipst, OtherTypesAndUnwritableTargetsFail) {
    EXPECT_EQ(Upload("img/b.gif", "image/jpeg").output, Redirect("/fail.htm"));
    EXPECT_FALSE(fs::exists(docroot_ + "/img/b.gif"));
    EXPECT_EQ(Upload("nofolder/b.gif", "image/gif").output, Redirect("/fail.htm"));
    EXPECT_EQ(FilesInWork(), 0u);
}

TEST_F(Qmcgipst, RedirectTargetCannotBecomeMarkup) {
    EXPECT_EQ(Upload("img/c.gif", "image/gif", "/ok.htm?a=1&b=\"><script>").output,
              Redirect("/ok.htm?a=1&amp;b=&quot;&gt;&lt;script&gt;"));
}

TEST_F(Qmcgipst, NamesOutsideTheDocumentRootAreRefused) {
    std::ofstream(root_ / "secret.gif") << "secret";
    for (const char* name : {"../secret.gif", "..\\secret.gif", "img/../../secret.gif",
                             "img\\..\\..\\x.gif", "/tmp/x.gif", "C:\\x.gif"}) {
        EXPECT_EQ(Upload(name, "image/gif").output, kNoVariables) << name;
        EXPECT_EQ(Get(std::string("GetFileName=") + name).output, kNoVariables) << name;
    }
    EXPECT_EQ(Slurp(root_ / "secret.gif"), "secret");
    EXPECT_FALSE(fs::exists(root_ / "x.gif"));
    EXPECT_FALSE(fs::exists("/tmp/x.gif"));
    EXPECT_EQ(FilesInWork(), 0u);
}

TEST_F(Qmcgipst, OnlyVisibleGifNamesAreStoredOrSent) {
    std::ofstream(docroot_ + "/.qmauth") << "admin:secret";
    std::ofstream(docroot_ + "/index.html") << "<html>";
    fs::create_directories(docroot_ + "/.private");
    std::ofstream(docroot_ + "/.private/p.gif") << "private";
    for (const char* name : {"img/a.html", "img/a.gif.sh", "a", "index.html", ".qmauth",
                             "img/.a.gif", ".gif", ".private/p.gif", "img/./a.gif"}) {
        EXPECT_EQ(Upload(name, "image/gif").output, kNoVariables) << name;
        EXPECT_EQ(Get(std::string("GetFileName=") + name).output, kNoVariables) << name;
    }
    EXPECT_FALSE(fs::exists(docroot_ + "/img/a.html"));
    EXPECT_FALSE(fs::exists(docroot_ + "/img/.a.gif"));
    EXPECT_EQ(FilesInWork(), 0u);
    // The suffix is compared without case, as the type is.
    EXPECT_EQ(Upload("img/UPPER.GIF", "image/gif").output, Redirect("/ok.htm"));
    EXPECT_EQ(Slurp(docroot_ + "/img/UPPER.GIF"), gif_);
}

TEST_F(Qmcgipst, SymbolicLinksNeverLeadOutOfTheRoot) {
    fs::create_directories(root_ / "outside");
    std::ofstream(root_ / "outside/secret.gif") << "secret";
    fs::create_directory_symlink(root_ / "outside", docroot_ + "/out");
    fs::create_symlink(root_ / "outside/secret.gif", docroot_ + "/img/secret.gif");
    EXPECT_EQ(Upload("out/new.gif", "image/gif").output, Redirect("/fail.htm"));
    EXPECT_FALSE(fs::exists(root_ / "outside/new.gif"));
    EXPECT_EQ(Get("GetFileName=out/secret.gif").output, kImageHead);
    EXPECT_EQ(Get("GetFileName=img/secret.gif").output, kImageHead);
    // A link in the target's place is not replaced, and nothing is written through it.
    EXPECT_EQ(Upload("img/secret.gif", "image/gif").output, Redirect("/cancel.htm"));
    EXPECT_EQ(Slurp(root_ / "outside/secret.gif"), "secret");
    EXPECT_EQ(FilesInWork(), 0u);
}

TEST_F(Qmcgipst, MissingPiecesGiveTheirPages) {
    EXPECT_EQ(Get("GetFileName=img/none.gif").output, kImageHead) << "missing file: empty body";
    fs::create_directories(docroot_ + "/img/folder.gif");
    EXPECT_EQ(Get("GetFileName=img/folder.gif").output, kImageHead) << "a folder is no image";
    EXPECT_EQ(Get("Other=1").output, kNoVariables);
    EXPECT_EQ(Get("").output,
              kPageHead + "</HEAD>\nQmcgipst Error: Failed to get the cgi data.<br>\n</HTML>\n");
}

}  // namespace
}  // namespace qm::cgigw::testing
