// The template compiler: template text and its includes into a stream of page records.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "macros.h"
#include "qmintpr/page_record.h"
#include "output.h"

namespace qm::intpr {

// Reads a template by the name written in a request or an #INCLUDE; false when it cannot be
// opened.
using TemplateLoader = std::function<bool(std::string_view name, std::string& content)>;

struct CompileLimits {
    int maxIncludeDepth = 16;         // an include cycle fails here instead of exhausting the stack
    int maxIncludes = 4096;           // includes per compile run
    size_t maxMacros = 1024;          // #DEFINEs per compile run
    size_t maxText = 1u << 20;        // bytes of one substituted text or tag body
    size_t maxPage = 64u << 20;       // bytes of compiled records
    size_t maxSubstitution = 256u << 20;  // bytes macro substitution reads and writes, in all
    int maxBlockDepth = QM_PAGE_MAX_BLOCK_DEPTH;            // open IF/WHILE/SWITCH blocks
    int maxExpressionDepth = QM_PAGE_MAX_EXPRESSION_DEPTH;  // expressions inside expressions
};
// Together these bound the work of one compile, whatever the template: every text is
// substituted by at most maxMacros macros, never grows past maxText, and all substitution of a
// run together reads and writes at most maxSubstitution bytes (a fraction of a second).

// One compile run (makeTemporary): owns the macro list, appends records (without the header)
// to `page`, and writes the first error, if any, as one line to `out`.
class Compiler {
public:
    Compiler(TemplateLoader loader, const PageOutput& out, CompileLimits limits = {})
        : loader_(std::move(loader)), out_(out), limits_(limits) {}

    bool CompileTemplate(std::string_view name, std::string& page);

private:
    bool CompileText(std::string_view name, std::string_view text, int depth, std::string& page);
    // `text` and `at` locate the tag in its file, for the error lines that name its line.
    bool CompileTag(std::string_view name, std::string_view text, size_t at, std::string_view body,
                    int depth, std::string& page);
    // "<name> line <n>" for the tag or text that starts at `at`.
    static std::string WhereIs(std::string_view name, std::string_view text, size_t at);
    bool CompileDirective(std::string_view name, std::string_view body, int depth, std::string& page);
    bool CompileInclude(std::string_view including, std::string_view body, std::string_view file,
                        int depth, std::string& page);

    TemplateLoader loader_;
    const PageOutput& out_;
    CompileLimits limits_;
    MacroList macros_;
    int includes_ = 0;
    size_t substitutionLeft_ = limits_.maxSubstitution;
    int blockDepth_ = 0;  // blocks opened and not yet closed, over the whole run
};

enum class StatementResult { Ok, SyntaxError, TooDeep };

// Translates one statement tag body (already substituted, leading white space skipped) into
// records appended to `records`. Expressions nested deeper than `maxExpressionDepth` are
// TooDeep.
StatementResult CompileStatement(std::string_view body, std::string& records,
                                 int maxExpressionDepth = QM_PAGE_MAX_EXPRESSION_DEPTH);

}  // namespace qm::intpr
