// Runs a compiled page for one request.
#pragma once

#include <string_view>

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
};

// Executes `page` (a whole compiled page, header included, or a stream of statement records)
// until a statement fails or cannot start; errors are written into the page as they happen.
void RunPage(PageContext& context, std::string_view page);

}  // namespace qm::intpr
