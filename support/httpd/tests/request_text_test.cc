#include <gtest/gtest.h>

#include "request_text.h"

namespace qm::httpd {

TEST(RequestText, DecodesFormPairsInOrder) {
    auto pairs = ParseFormPairs("b=2&a=x+y%21&word&&c=%zz%4");
    ASSERT_EQ(pairs.size(), 4u);
    EXPECT_EQ(pairs[0], (std::pair<std::string, std::string>{"b", "2"}));
    EXPECT_EQ(pairs[1].second, "x y!");
    EXPECT_EQ(pairs[2], (std::pair<std::string, std::string>{"word", ""}));
    EXPECT_EQ(pairs[3].second, "%zz%4") << "broken escapes stay as they are";
}

TEST(RequestText, VariablesFirstThenPairsWithoutService) {
    CgiVariables v;
    v.values = {{"SERVER_ROOT", "/srv"}, {"REQUEST_METHOD", "GET"}, {"QUERY_STRING", "q"}};
    std::string text =
        BuildParameterText(v, {{"LANGUAGE", "en"}, {"Service", "x"}, {"TEMPLATE", "top.htm"}});
    EXPECT_EQ(text,
              "SERVER_ROOT=/srv|PATH_INFO=|PATH_TRANSLATED=|GATEWAY_INTERFACE=|HTTP_ACCEPT=|"
              "HTTP_USER_AGENT=|HTTP_ACCEPT_LANGUAGE=|HTTP_HOST=|HTTP_REFERER=|REMOTE_ADDR=|"
              "REMOTE_HOST=|SCRIPT_NAME=|SERVER_NAME=|SERVER_PROTOCOL=|SERVER_PORT=|"
              "SERVER_SOFTWARE=|CONTENT_TYPE=|CONTENT_LENGTH=|REQUEST_METHOD=GET|QUERY_STRING=q|"
              "AUTH_TYPE=|LANGUAGE=en|TEMPLATE=top.htm");
}

}  // namespace qm::httpd
