// Helpers shared by the interpreter tests: compiling text in memory, reading records back, and
// running pages with a capturing output.
#pragma once

#include <map>
#include <string>
#include <string_view>

#include "executor.h"

namespace qm::intpr::test {

// Compiles `text` (named "main.htm") with `files` as the include folder. Returns the records
// (no header); the compile's error line, if any, goes to `errors`.
std::string CompileText(std::string_view text, const std::map<std::string, std::string>& files = {},
                        std::string* errors = nullptr, bool* ok = nullptr);

// The records in a readable form: code, then data in brackets; integers in decimal; records
// separated by one space. Example: "@[<P>] 2[$N] 1[0] $".
std::string Describe(std::string_view records);

// Collects page output.
struct Capture {
    std::string text;
    int calls = 0;
    int endCalls = 0;
    size_t stopAfter = 0;  // when not 0, the callback reports failure once this much was written
    static int32_t Callback(void* context, int32_t kind, int32_t count, const char* bytes);
};

// Compiles and runs `text` with the given variables (name -> text value); returns the page.
std::string RunText(std::string_view text, const std::map<std::string, std::string>& vars = {},
                    LibraryTable* libraries = nullptr);

}  // namespace qm::intpr::test
