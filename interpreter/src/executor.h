// Runs a compiled page for one request.
#pragma once

#include <string_view>
#include <vector>

#include "libraries.h"
#include "output.h"
#include "variables.h"

namespace qm::intpr {

// Everything one request needs: where its output goes, the shared tag libraries and its own
// variables.
struct PageContext {
    PageOutput output;
    LibraryTable* libraries = nullptr;  // may be null when no library may be called
    VariableTable variables;
    // The libraries this request called, told when it ends (TAGEndRequest).
    std::vector<TagLibrary*> called{};
};

// Tells every library the request called that it is over (TAGEndRequest, where exported).
void EndRequest(PageContext& context);

// Executes `page` (a whole compiled page, header included, or a stream of statement records)
// until a statement fails or cannot start; errors are written into the page as they happen.
void RunPage(PageContext& context, std::string_view page);

}  // namespace qm::intpr
