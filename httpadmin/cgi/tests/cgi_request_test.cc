// CgiRequest with a substituted environment and body: pairs, order, lookups, multipart.
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include <gtest/gtest.h>

#include "qm/cgi/cgi_request.h"

namespace qm::cgi {
namespace {

namespace fs = std::filesystem;

struct FakeCgi {
    std::map<std::string, std::string> env;
    std::string body;
    std::size_t pos = 0;

    EnvLookup Env() {
        return [this](const char* n) -> const char* {
            auto it = env.find(n);
            return it == env.end() ? nullptr : it->second.c_str();
        };
    }
    BodyReader Body() {
        return [this](char* buf, std::size_t max) {
            std::size_t n = std::min(max, body.size() - pos);
            std::copy_n(body.data() + pos, n, buf);
            pos += n;
            return n;
        };
    }
    void Post(std::string type, std::string b) {
        env["REQUEST_METHOD"] = "POST";
        env["CONTENT_TYPE"] = std::move(type);
        env["CONTENT_LENGTH"] = std::to_string(b.size());
        body = std::move(b);
    }
};

std::vector<std::pair<std::string, std::string>> Pairs(const CgiRequest& r) {
    std::vector<std::pair<std::string, std::string>> out;
    for (int i = 0; i < r.PairCount(); ++i) out.emplace_back(r.Names()[i], r.Values()[i]);
    return out;
}
using P = std::vector<std::pair<std::string, std::string>>;

TEST(CgiRequest, EnvironmentIsNeverNull) {
    FakeCgi cgi;
    cgi.env["SERVER_NAME"] = "printhost";
    CgiRequest r(cgi.Env());
    EXPECT_STREQ(r.Env(CgiVar::kServerName), "printhost");
    EXPECT_STREQ(r.Env(CgiVar::kAuthType), "");
    EXPECT_STREQ(CgiVarName(CgiVar::kQueryString), "QUERY_STRING");
    EXPECT_STREQ(CgiVarName(CgiVar::kAuthPass), "AUTH_PASS");
    EXPECT_FALSE(r.ReadRequest(cgi.Body())) << "no method";
}

TEST(CgiRequest, GetSplitsPairsAndBareWords) {
    FakeCgi cgi;
    cgi.env["REQUEST_METHOD"] = "get";
    cgi.env["QUERY_STRING"] = "a=1&b=&c&x=%41%2b+y&t=YQ==&A=2";
    CgiRequest r(cgi.Env());
    ASSERT_TRUE(r.ReadRequest(cgi.Body()));
    EXPECT_EQ(Pairs(r), (P{{"a", "1"}, {"b", ""}, {"c", "c"}, {"x", "A+ y"}, {"t", "YQ=="},
                           {"A", "2"}}));
    EXPECT_STREQ(r.GetValue("A"), "1") << "case-insensitive, first wins";
    EXPECT_STREQ(r.GetValue("B"), "");
    EXPECT_EQ(r.GetValue("zz"), nullptr);
    EXPECT_EQ(r.PartCount(), 0);
}

TEST(CgiRequest, PostBodyPairsComeBeforeQueryString) {
    FakeCgi cgi;
    cgi.Post("application/x-www-form-urlencoded; charset=UTF-8", "mode=Base&x=1");
    cgi.env["QUERY_STRING"] = "Special";
    CgiRequest r(cgi.Env());
    ASSERT_TRUE(r.ReadRequest(cgi.Body()));
    EXPECT_EQ(Pairs(r), (P{{"mode", "Base"}, {"x", "1"}, {"Special", "Special"}}));
    EXPECT_STREQ(r.GetValue("MODE"), "Base");
}

TEST(CgiRequest, EmptyOrUnusableRequestsYieldNothing) {
    for (const char* method : {"GET", "POST", "HEAD"}) {
        FakeCgi cgi;
        cgi.env["REQUEST_METHOD"] = method;
        CgiRequest r(cgi.Env());
        EXPECT_FALSE(r.ReadRequest(cgi.Body())) << method;
    }
    FakeCgi odd;  // a body of an unknown type is ignored
    odd.Post("text/plain", "a=1");
    CgiRequest r(odd.Env());
    EXPECT_FALSE(r.ReadRequest(odd.Body()));
    FakeCgi neg;
    neg.Post("application/x-www-form-urlencoded", "a=1");
    neg.env["CONTENT_LENGTH"] = "-5";
    neg.env["QUERY_STRING"] = "q=2";
    CgiRequest rn(neg.Env());
    ASSERT_TRUE(rn.ReadRequest(neg.Body()));
    EXPECT_EQ(Pairs(rn), (P{{"q", "2"}}));
}

TEST(CgiRequest, BodyLengthIsBoundedAndShortBodiesAreKept) {
    FakeCgi lying;  // claims more than arrives
    lying.Post("application/x-www-form-urlencoded", "a=1");
    lying.env["CONTENT_LENGTH"] = "1000";
    CgiRequest r(lying.Env());
    ASSERT_TRUE(r.ReadRequest(lying.Body()));
    EXPECT_EQ(Pairs(r), (P{{"a", "1"}}));
    FakeCgi huge;
    huge.Post("application/x-www-form-urlencoded", "a=1");
    huge.env["CONTENT_LENGTH"] = "99999999999999999999999";
    CgiRequest h(huge.Env());
    EXPECT_FALSE(h.ReadRequest(huge.Body()));
    FakeCgi exact;  // reads CONTENT_LENGTH bytes, not more
    exact.Post("application/x-www-form-urlencoded", "a=12345");
    exact.env["CONTENT_LENGTH"] = "4";
    CgiRequest e(exact.Env());
    ASSERT_TRUE(e.ReadRequest(exact.Body()));
    EXPECT_STREQ(e.GetValue("a"), "12");
}

// Multipart cases run in a scratch folder, where the upload files appear.
class Multipart : public ::testing::Test {
protected:
    void SetUp() override {
        old_ = fs::current_path();
        dir_ = fs::temp_directory_path() / ("qmcgi-test-" + std::to_string(getpid()));
        fs::create_directories(dir_);
        fs::current_path(dir_);
    }
    void TearDown() override {
        fs::current_path(old_);
        fs::remove_all(dir_);
    }
    std::size_t FilesHere() const {
        return static_cast<std::size_t>(std::distance(fs::directory_iterator(dir_), {}));
    }
    static std::string Part(const std::string& disposition, const std::string& body,
                            const std::string& type = "") {
        std::string p = "--XyZ\r\nContent-Disposition: form-data; " + disposition + "\r\n";
        if (!type.empty()) p += "Content-Type: " + type + "\r\n";
        return p + "\r\n" + body + "\r\n";
    }
    static constexpr const char* kType = "multipart/form-data; boundary=XyZ";
    fs::path old_, dir_;
};

TEST_F(Multipart, TextAndFileFieldsStayAligned) {
    const std::string gif("GIF89a\r\n\0\xff--XY\r\n", 16);
    FakeCgi cgi;
    cgi.Post(kType, "preamble\r\n" + Part("name=\"field\"", "va lue&=") +
                        Part("name=\"file\"; filename=\"C:\\my pics\\a&b.gif\"", gif,
                             "image/gif") +
                        Part("name=\"empty\"; filename=\"\"", "dropped", "text/plain") +
                        "--XyZ--\r\n");
    cgi.env["QUERY_STRING"] = "after=1";
    std::string temp;
    {
        CgiRequest r(cgi.Env());
        ASSERT_TRUE(r.ReadRequest(cgi.Body()));
        EXPECT_EQ(Pairs(r), (P{{"field", "va lue&="},
                               {"file", "C:\\my pics\\a&b.gif"},
                               {"empty", ""},
                               {"after", "1"}}));
        EXPECT_EQ(r.QueryText(), "field=va+lue%26%3D&file=C%3A%5Cmy+pics%5Ca%26b.gif&empty=&after=1");
        ASSERT_EQ(r.PartCount(), 3);
        EXPECT_EQ(r.TempFiles()[0], "");
        EXPECT_EQ(r.TempFiles()[2], "");
        EXPECT_EQ(r.ContentTypes(), (std::vector<std::string>{"", "image/gif", "text/plain"}));
        ASSERT_NE(r.PartTempFile("FILE"), nullptr);
        temp = r.PartTempFile("file");
        EXPECT_EQ(temp.rfind("./", 0), 0u) << "relative to the current folder";
        EXPECT_EQ(r.PartTempFile("field"), nullptr);
        EXPECT_EQ(r.PartTempFile("after"), nullptr) << "query-string pairs are not parts";
        EXPECT_STREQ(r.PartContentType("file"), "image/gif");
        std::ifstream in(temp, std::ios::binary);
        std::stringstream got;
        got << in.rdbuf();
        EXPECT_EQ(got.str(), gif);
        struct stat st {};
        ASSERT_EQ(stat(temp.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0600u);
        EXPECT_EQ(FilesHere(), 1u) << "no file for the empty file name";
    }
    EXPECT_FALSE(fs::exists(temp));
    EXPECT_EQ(FilesHere(), 0u);
}

TEST_F(Multipart, LookupsNeedAMultipartRequest) {
    FakeCgi cgi;
    cgi.env["REQUEST_METHOD"] = "GET";
    cgi.env["QUERY_STRING"] = "ImageFile=x";
    CgiRequest r(cgi.Env());
    ASSERT_TRUE(r.ReadRequest(cgi.Body()));
    EXPECT_EQ(r.PartContentType("ImageFile"), nullptr);
}

TEST_F(Multipart, QuotedBoundaryAndMissingBoundary) {
    FakeCgi quoted;
    quoted.Post("multipart/form-data; boundary=\"XyZ\"", Part("name=\"a\"", "1") + "--XyZ--");
    CgiRequest q(quoted.Env());
    ASSERT_TRUE(q.ReadRequest(quoted.Body()));
    EXPECT_STREQ(q.GetValue("a"), "1");
    FakeCgi none;
    none.Post("multipart/form-data", Part("name=\"a\"", "1") + "--XyZ--");
    CgiRequest n(none.Env());
    EXPECT_FALSE(n.ReadRequest(none.Body()));
}

TEST_F(Multipart, BeyondCapacityIsRefusedWithoutLeftovers) {
    auto refused = [&](const std::string& body) {
        FakeCgi cgi;
        cgi.Post(kType, body);
        cgi.env["QUERY_STRING"] = "q=1";
        CgiRequest r(cgi.Env());
        bool ok = r.ReadRequest(cgi.Body());
        return !ok && r.PairCount() == 0 && FilesHere() == 0;
    };
    // A text field whose encoded value passes 8131 characters.
    EXPECT_TRUE(refused(Part("name=\"f\"", std::string(4000, '&')) + "--XyZ--"));
    // The same text unencoded fits exactly: f= and 8129 characters.
    {
        FakeCgi cgi;
        cgi.Post(kType, Part("name=\"f\"", std::string(8129, 'a')) + "--XyZ--");
        CgiRequest r(cgi.Env());
        EXPECT_TRUE(r.ReadRequest(cgi.Body()));
    }
    // 257 delimiters.
    std::string many;
    for (int i = 0; i < 256; ++i) many += Part("name=\"n\"", "v");
    EXPECT_TRUE(refused(many + "--XyZ--"));
    // Files already stored before the overflow are removed too.
    std::string files;
    for (int i = 0; i < 40; ++i) files += Part("name=\"f\"; filename=\"x.gif\"", "GIF");
    EXPECT_TRUE(refused(files + Part("name=\"t\"", std::string(8000, 'a')) + "--XyZ--"));
    // The largest accepted count: 256 delimiters, 255 parts.
    std::string most;
    for (int i = 0; i < 255; ++i) most += Part("name=\"n\"", "v");
    FakeCgi cgi;
    cgi.Post(kType, most + "--XyZ--");
    CgiRequest r(cgi.Env());
    ASSERT_TRUE(r.ReadRequest(cgi.Body()));
    EXPECT_EQ(r.PartCount(), 255);
}

TEST_F(Multipart, MalformedPartsStayInsideTheirBounds) {
    const std::string bodies[] = {
        "--XyZ",                                 // one delimiter, no parts
        "--XyZ--XyZ",                            // delimiters back to back
        "--XyZ\r\nContent-Disposition: form-data; name=\"a", // no end of line, no quote
        "--XyZ\r\nContent-Disposition: form-data; filename=\"f\r\n--XyZ",
        "--XyZ\r\ncontent-disposition: FORM-DATA; name=b\r\n\r\nv\r\n--XyZ--",
    };
    for (const auto& b : bodies) {
        FakeCgi cgi;
        cgi.Post(kType, b);
        CgiRequest r(cgi.Env());
        if (r.ReadRequest(cgi.Body())) {
            EXPECT_LE(r.PartCount(), r.PairCount()) << b;
        } else {
            EXPECT_EQ(r.PartCount(), 0) << b;
        }
    }
    FakeCgi cgi;
    cgi.Post(kType, bodies[4]);
    CgiRequest r(cgi.Env());
    ASSERT_TRUE(r.ReadRequest(cgi.Body()));
    EXPECT_STREQ(r.GetValue("b"), "v") << "bare name, header case ignored";
    EXPECT_EQ(FilesHere(), 0u);
}

}  // namespace
}  // namespace qm::cgi
