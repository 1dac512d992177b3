// The parameter text the page interpreter takes: the CGI variables a page may use, then the
// request's form pairs, "|"-separated — the same text Qmcgi builds after its first two fields,
// so a page reached directly and one reached through Qmcgi see the same variables.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace qm::httpd {

// Decodes "+" and %XX; a malformed escape is kept as it is.
std::string UrlDecode(std::string_view text);
// Splits "a=1&b=2" into decoded pairs in order; a word without "=" has an empty value.
std::vector<std::pair<std::string, std::string>> ParseFormPairs(std::string_view text);

struct CgiVariables {
    std::vector<std::pair<std::string, std::string>> values;  // in the order they are listed
    std::string Get(std::string_view name) const;
};

// The variable fields (SERVER_ROOT first, each followed by "|") and then the pairs, leaving out
// those named "service" (any case), with no separator after the last pair.
std::string BuildParameterText(const CgiVariables& vars,
                               const std::vector<std::pair<std::string, std::string>>& pairs);

}  // namespace qm::httpd
