// The page cache: finding a request's compiled template, or building it under the compile lock.
#pragma once

#include <string>
#include <string_view>

#include "executor.h"
#include "page_store.h"

namespace qm::intpr {

// A name from a request that may become part of a path: only letters, digits, ".", "_" and "-",
// not empty, no "..", no leading dot. Requests come from the network: their template and
// language names must never lead outside html/ and cache/, and never carry markup into an error
// line.
bool IsPlainName(std::string_view name);

// The compiled page of $TEMPLATE in $LANGUAGE (header included), reusing the cache file when it
// is sealed and not older than its template (from memory when the file has not changed since it
// was last read), else compiling it. A language without a folder under html/ is compiled for the
// request alone and never cached. On failure the error line is already written and null is
// returned.
PageImage ObtainCompiledPage(PageContext& context);

}  // namespace qm::intpr
