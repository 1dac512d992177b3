// The page cache: finding a request's compiled template, or building it under the compile lock.
#pragma once

#include <string>
#include <string_view>

#include "executor.h"

namespace qm::intpr {

// A name from a request that may become part of a path: not empty, no folder separators, no
// drive, no "..". Requests come from the network, and their template and language names must
// never lead outside html/ and cache/.
bool IsPlainName(std::string_view name);

// Fills `page` with the compiled page of $TEMPLATE in $LANGUAGE (header included), reusing the
// cache file when it is sealed and not older than its template, else compiling it. On failure
// the error line is already written and false is returned.
bool ObtainCompiledPage(PageContext& context, std::string& page);

}  // namespace qm::intpr
