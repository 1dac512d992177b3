// URL, Base64 and HTML coding shared by every CGI program, the server and the pages that build
// links.
#pragma once

#include <string>
#include <string_view>

namespace qm::cgi {

// "%" and two hexadecimal digits (either case) become that byte, "+" a space, everything else
// is copied; a "%" without two digits after it stays as it is.
std::string UrlDecode(std::string_view text);

// Letters, digits and "*-.@_" are copied, a space becomes "+", every other byte "%XX" with
// uppercase hexadecimal digits.
std::string UrlEncode(std::string_view text);

// Text for HTML content or a quoted attribute value: "&", "<", ">", '"' and "'" become entities,
// everything else is copied. Whatever a request carries, the result is never markup.
std::string HtmlEscape(std::string_view text);

// RFC 2045 alphabet with "=" padding.
std::string Base64Encode(std::string_view bytes);
// Characters outside the alphabet (line breaks, spaces) are skipped; decoding stops at the
// first "=". Incomplete trailing bits are dropped.
std::string Base64Decode(std::string_view text);

}  // namespace qm::cgi
