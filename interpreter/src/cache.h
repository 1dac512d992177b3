// The page cache: finding a request's compiled template, or building it under the compile lock.
#pragma once

#include <string>
#include <string_view>

#include "executor.h"
#include "page_store.h"

namespace qm::intpr {

// A name from a request that may become part of a path: not empty, no folder separators, no
// drive, no "..", no leading dot. Requests come from the network, and their template and language names must
// never lead outside html/ and cache/.
bool IsPlainName(std::string_view name);

// The compiled page of $TEMPLATE in $LANGUAGE (header included), reusing the cache file when it
// is sealed and not older than its template (from memory when the file has not changed since it
// was last read), else compiling it. On failure the error line is already written and null is
// returned.
PageImage ObtainCompiledPage(PageContext& context);

}  // namespace qm::intpr
